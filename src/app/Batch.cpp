#include "app/Batch.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "app/CommandLine.h"
#include "app/ConsoleHost.h"
#include "dataset/DataSet.h"
#include "job/ConvertThread.h"
#include "dataset/MemoryBudget.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// Options followed by a value, and options alone.
const char* const kValueOptions[] = {"-o",     "--output-dir", "-e",     "--extension", "-l",
                                     "--list", "-j",           "--jobs", "--slice",     "--report"};
const char* const kFlagOptions[] = {"--skip-existing", "--stop-on-error"};
// The most jobs and slices a batch is given: six digits.
constexpr uint32_t kMostCount = 999999;

}  // namespace

bool IsBatchCommandLine(const std::vector<std::string>& parameters) {
  for (const std::string& p : parameters) {
    if (p == "--") break;
    for (const char* o : kValueOptions)
      if (p == o) return true;
    for (const char* o : kFlagOptions)
      if (p == o) return true;
  }
  return false;
}

std::string ParseBatchCommandLine(const std::vector<std::string>& parameters,
                                  TBatchSettings& settings) {
  bool kindGiven = false;
  bool onlyNames = false;  // after "--"
  for (size_t i = 0; i < parameters.size(); ++i) {
    const std::string& p = parameters[i];
    if (p == "--skip-existing") {
      settings.SkipExisting = true;
      continue;
    }
    if (p == "--stop-on-error") {
      settings.StopOnError = true;
      continue;
    }
    if (p == "--drop-rotation") {
      settings.DropRotation = true;
      continue;
    }
    if (p == "--keep-ground") {
      settings.KeepGround = true;
      continue;
    }
    if (onlyNames) {
      settings.InputNames.push_back(p);
      continue;
    }
    if (p == "--") {
      onlyNames = true;
      continue;
    }
    if (std::string why; ParseGdalSwitch(parameters, i, settings.Gdal, why)) {
      if (!why.empty()) return why;
      continue;
    }
    if (IsCreationOptionSwitch(p)) {
      if (std::string why = TakeCreationOption(parameters, i, settings.CreationOptions);
          !why.empty())
        return why;
      continue;
    }
    if (std::find_if(std::begin(kValueOptions), std::end(kValueOptions),
                     [&](const char* o) { return p == o; }) != std::end(kValueOptions)) {
      if (i + 1 == parameters.size()) return p + " needs a value";
      const std::string& value = parameters[++i];
      if (p == "-o" || p == "--output-dir") {
        settings.OutputFolder = value;
      } else if (p == "-e" || p == "--extension") {
        settings.Extension = value.empty() || value[0] == '.' ? value : "." + value;
        if (settings.Extension.size() < 2 || value.find('/') != std::string::npos)
          return "the extension \"" + value + "\" is not one";
      } else if (p == "-l" || p == "--list") {
        settings.ListName = value;
      } else if (p == "-j" || p == "--jobs") {
        if (!ParseCount(value, 0, kMostCount, settings.Jobs) || settings.Jobs == 0)
          return "-j takes a number of jobs of at least 1, not \"" + value + "\"";
      } else if (p == "--slice") {
        const size_t slash = value.find('/');
        if (slash == std::string::npos ||
            !ParseCount(value.substr(0, slash), 0, kMostCount, settings.SliceIndex) ||
            !ParseCount(value.substr(slash + 1), 0, kMostCount, settings.SliceCount) ||
            settings.SliceIndex >= settings.SliceCount)
          return "--slice takes K/N with K from 0 to N - 1, not \"" + value + "\"";
      } else {
        settings.ReportName = value;
      }
      continue;
    }
    if (IsKindSwitch(p)) {
      settings.Kind = p[1] - '0';
      kindGiven = true;
      continue;
    }
    if (IsUnattendedSwitch(p)) continue;
    if (p.rfind("--memory=", 0) == 0) {
      if (std::string why = ParseMemorySwitch(p, settings.MemoryMiB); !why.empty()) return why;
      continue;
    }
    if (std::string why; ParseEncodingSwitch(p, settings.Encoding, why)) {
      if (!why.empty()) return why;
      continue;
    }
    if (LooksLikeSwitch(p)) return UnknownSwitchText(p);
    settings.InputNames.push_back(p);
  }
  if (!settings.ListName.empty()) {
    if (!settings.InputNames.empty())
      return "inputs are given either in a list or on the command line, not both";
    if (!settings.OutputFolder.empty() || !settings.Extension.empty() || kindGiven)
      return "a list names each line's output and kind; -o, -e and a kind switch "
             "are for inputs given on the command line";
    return {};
  }
  if (settings.InputNames.empty()) return "no inputs given";
  if (settings.OutputFolder.empty() || settings.Extension.empty())
    return "inputs on the command line need an output folder (-o) and an extension (-e)";
  return {};
}

std::string ReadBatchList(const std::string& name, std::string& text) {
  text.clear();
  const bool standardInput = name == "-";
  const int fd =
      standardInput ? STDIN_FILENO : open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "the list " + name + " cannot be read: " + SystemErrorText(errno);
  struct TCloser {
    int Fd;
    ~TCloser() {
      if (Fd >= 0) close(Fd);
    }
  } const closer{standardInput ? -1 : fd};
  struct stat st;
  if (fstat(fd, &st) != 0) return "the list " + name + " cannot be read: " + SystemErrorText(errno);
  // A pipe is read as it comes (a list made by another command); a folder
  // or a device is no list.
  if (S_ISDIR(st.st_mode)) return "the list " + name + " is a folder";
  if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode))
    return "the list " + name + " is not a regular file";
  if (!standardInput && S_ISFIFO(st.st_mode)) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  size_t lineStart = 0;
  int line = 1;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return "the list " + name + " cannot be read: " + SystemErrorText(errno);
    if (n == 0) return {};
    const std::string_view chunk(buffer, static_cast<size_t>(n));
    for (size_t at = 0; at < chunk.size();) {
      const size_t end = std::min(chunk.find('\n', at), chunk.size());
      const std::string_view part = chunk.substr(at, end - at);
      text += part;
      if (part.find('\0') != std::string_view::npos)
        return "the list " + name + ": line " + std::to_string(line) + " holds a NUL byte";
      if (text.size() - lineStart > kMaxListLine)
        return "the list " + name + ": line " + std::to_string(line) + " is longer than " +
               std::to_string(kMaxListLine) + " bytes";
      if (end == chunk.size()) break;
      text += '\n';
      lineStart = text.size();
      ++line;
      at = end + 1;
    }
  }
}

std::vector<TBatchEntry> ParseBatchList(const std::string& text, std::vector<std::string>& errors) {
  std::vector<TBatchEntry> entries;
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string where = "line " + std::to_string(number);
    if (line.find_first_not_of(" \t") == std::string::npos) {
      errors.push_back(where + " is blank");
      continue;
    }
    std::vector<std::string> fields;
    for (size_t from = 0;;) {
      const size_t tab = line.find('\t', from);
      fields.push_back(line.substr(from, tab == std::string::npos ? tab : tab - from));
      if (tab == std::string::npos) break;
      from = tab + 1;
    }
    if (fields.size() != 3) {
      errors.push_back(where + ": expected input, output and kind separated by tabs, found " +
                       std::to_string(fields.size()) + (fields.size() == 1 ? " field" : " fields"));
      continue;
    }
    if (fields[0].empty() || fields[1].empty()) {
      errors.push_back(where + ": the " + (fields[0].empty() ? "input" : "output") +
                       " name is empty");
      continue;
    }
    const std::string kind = TrimBlanks(fields[2]);
    if (kind.size() != 1 || kind[0] < '0' || kind[0] > '9' || !PlacementOfKind(kind[0] - '0')) {
      errors.push_back(where + ": the kind \"" + fields[2] + "\" is not one of 0 to 5");
      continue;
    }
    entries.push_back({fields[0], fields[1], kind[0] - '0', where});
  }
  if (text.empty()) errors.push_back("the list holds no lines");
  return entries;
}

std::vector<TBatchEntry> EntriesForInputs(const TBatchSettings& settings) {
  std::string folder = settings.OutputFolder;
  if (folder.back() != '/') folder += '/';
  std::vector<TBatchEntry> entries;
  for (const std::string& input : settings.InputNames)
    entries.push_back({input, folder + RemoveFileExt(ExtractFileName(input)) + settings.Extension,
                       settings.Kind, input});
  return entries;
}

namespace {

std::string FileKey(const TFileId& id) {
  return id.Exists ? "#" + std::to_string(id.Device) + ":" + std::to_string(id.Inode) : id.Path;
}

std::vector<std::string> InputFiles(const std::string& name) {
  return FormatFiles(FormatFromSignature(name), name, false);
}

std::vector<std::string> OutputFiles(const TBatchEntry& entry) {
  const int format = OutputFormatFor(entry.OutputName, entry.Format);
  return FormatFiles(format, entry.OutputName, true);
}

}  // namespace

void CheckBatch(const std::vector<TBatchEntry>& entries, const std::string& reportName,
                std::vector<std::string>& errors) {
  // Every file an input reads, by identity, and the entry it belongs to.
  std::multimap<std::string, size_t> inputs;
  for (size_t i = 0; i < entries.size(); ++i) {
    const TBatchEntry& e = entries[i];
    struct stat st;
    if (stat(e.InputName.c_str(), &st) != 0) {
      errors.push_back(e.Origin + ": the input " + e.InputName + " does not exist");
      continue;
    }
    if (!S_ISREG(st.st_mode)) {
      errors.push_back(e.Origin + ": the input " + e.InputName + " is not a file");
      continue;
    }
    if (access(e.InputName.c_str(), R_OK) != 0) {
      errors.push_back(e.Origin + ": the input " + e.InputName +
                       " cannot be read: " + SystemErrorText(errno));
      continue;
    }
    for (const std::string& f : InputFiles(e.InputName))
      inputs.emplace(FileKey(IdentifyFile(f)), i);
  }
  // Whose input a file is, the entry's own first.
  auto whose = [&](const std::string& key, size_t i) -> std::string {
    auto [first, last] = inputs.equal_range(key);
    if (first == last) return {};
    for (auto it = first; it != last; ++it)
      if (it->second == i) return "its own input";
    return "an input of " + entries[first->second].Origin;
  };
  std::map<std::string, size_t> outputs;
  for (size_t i = 0; i < entries.size(); ++i) {
    const TBatchEntry& e = entries[i];
    if (OutputFormatFor(e.OutputName, e.Format) == fcUnknown) {
      errors.push_back(e.Origin + ": the output " + e.OutputName +
                       " has no extension of a format Mirava writes");
      continue;
    }
    // The output's own name first, so that a clash names it.
    std::vector<std::string> files = OutputFiles(e);
    files.insert(files.begin(), e.OutputName);
    for (const std::string& f : files) {
      const std::string key = FileKey(IdentifyFile(f));
      if (const std::string owner = whose(key, i); !owner.empty()) {
        errors.push_back(e.Origin + ": the output would overwrite " + f + ", " + owner);
        break;
      }
      auto [out, added] = outputs.emplace(key, i);
      if (!added && out->second != i) {
        errors.push_back(entries[out->second].Origin + " and " + e.Origin + " both write " + f);
        break;
      }
    }
  }
  if (reportName.empty() || reportName == "-") return;
  const std::string key = FileKey(IdentifyFile(reportName));
  if (auto in = inputs.find(key); in != inputs.end())
    errors.push_back("the report " + reportName + " would overwrite an input of " +
                     entries[in->second].Origin);
  else if (auto out = outputs.find(key); out != outputs.end())
    errors.push_back("the report " + reportName + " would overwrite an output of " +
                     entries[out->second].Origin);
}

void CheckOutputFolders(const std::vector<TBatchEntry>& entries, std::vector<std::string>& errors) {
  for (const TBatchEntry& e : entries) {
    const std::string folder = ExtractFileDir(e.OutputName);
    struct stat st;
    if (!folder.empty() && (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
      errors.push_back(e.Origin + ": the output's folder " + folder + " does not exist");
  }
}

std::string CompletionRecordName(const std::string& outputName) {
  const std::string folder = ExtractFileDir(outputName);
  return (outputName.find('/') == std::string::npos ? "" : folder + "/") + "." +
         ExtractFileName(outputName) + ".complete";
}

namespace {

// What a completion record holds for the files as they are now.
std::string CompletionRecord(const TBatchEntry& entry) {
  std::string record = "mirava completion record 1\nkind " + std::to_string(entry.Kind) + "\n";
  auto add = [&](const char* role, const std::string& name) {
    struct stat st;
    record += role;
    if (stat(name.c_str(), &st) == 0)
      record += " " + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                std::to_string(st.st_mtim.tv_nsec);
    else
      record += " absent";
    record += " " + IdentifyFile(name).Path + "\n";
  };
  for (const std::string& f : InputFiles(entry.InputName)) add("input", f);
  for (const std::string& f : OutputFiles(entry)) add("output", f);
  return record;
}

}  // namespace

bool OutputComplete(const TBatchEntry& entry) {
  std::ifstream in(CompletionRecordName(entry.OutputName), std::ios::binary);
  if (!in) return false;
  const std::string stored{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return stored == CompletionRecord(entry);
}

bool RecordCompletion(const TBatchEntry& entry) {
  const std::string name = CompletionRecordName(entry.OutputName);
  const std::string part = name + ".part";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out << CompletionRecord(entry);
    if (!out.flush()) return false;
  }
  return std::rename(part.c_str(), name.c_str()) == 0;
}

namespace {

// What became of one entry.
enum class TOutcome { NotStarted, Succeeded, Failed, Aborted, Skipped };

const char* OutcomeName(TOutcome outcome) {
  switch (outcome) {
    case TOutcome::Succeeded:
      return "succeeded";
    case TOutcome::Failed:
      return "failed";
    case TOutcome::Aborted:
      return "aborted";
    case TOutcome::Skipped:
      return "skipped";
    case TOutcome::NotStarted:
      break;
  }
  return "not started";
}

struct TBatchResult {
  TOutcome Outcome = TOutcome::NotStarted;
  std::string Text;  // the job's message, and what the output holds
  double Seconds = 0;
  std::vector<std::string> Notes;  // the job's notes, one line each
};

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

// The bytes of a UTF-8 sequence starting at `at`, or 0 where they are not
// one (overlong forms, surrogates and code points beyond U+10FFFF are not).
size_t Utf8Length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char c = byte(at);
  const size_t n = c < 0x80                 ? 1
                   : c >= 0xC2 && c <= 0xDF ? 2
                   : c >= 0xE0 && c <= 0xEF ? 3
                   : c >= 0xF0 && c <= 0xF4 ? 4
                                            : 0;
  if (n == 0 || at + n > text.size()) return 0;
  for (size_t i = 1; i < n; ++i)
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  const unsigned char second = n > 1 ? byte(at + 1) : 0x80;
  if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
      (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F))
    return 0;
  return n;
}

// File names are bytes: one that is not UTF-8 has each stray byte written
// as a lone low surrogate, U+DC80 to U+DCFF, as Python's "surrogateescape"
// reads such names, so that every line is JSON and the bytes can be had back.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = Utf8Length(text, i);
    char escape[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || n == 0) {
      std::snprintf(escape, sizeof escape, "\\u%04x", n == 0 ? 0xDC00 + c : c);
      out += escape;
    } else {
      out.append(text, i, n);
      i += n;
      continue;
    }
    ++i;
  }
  return out + "\"";
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// One record per file, written as each file ends so that a stopped batch
// leaves the records of the files it finished. The first write that fails
// is kept: the batch then fails with it.
class TBatchReport {
 public:
  ~TBatchReport() {
    if (Fd > STDOUT_FILENO) close(Fd);
  }
  bool Open(const std::string& name) {
    if (name.empty()) return true;
    Name = name;
    Csv = UpperCase(ExtractFileExt(name)) == ".CSV";
    Fd = name == "-" ? STDOUT_FILENO
                     : open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (Fd < 0) return false;
    if (Csv) Write("input,output,kind,status,result,seconds,notes\n");
    return Error == 0;
  }
  void Add(const TBatchEntry& e, const TBatchResult& r) {
    if (Fd < 0) return;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.Seconds);
    std::string notes;
    if (Csv) {
      for (const std::string& n : r.Notes) notes += (notes.empty() ? "" : "; ") + n;
      Write(CsvField(e.InputName) + ',' + CsvField(e.OutputName) + ',' + std::to_string(e.Kind) +
            ',' + OutcomeName(r.Outcome) + ',' + CsvField(r.Text) + ',' + seconds + ',' +
            CsvField(notes) + '\n');
    } else {
      for (const std::string& n : r.Notes) notes += (notes.empty() ? "" : ",") + JsonString(n);
      Write("{\"input\":" + JsonString(e.InputName) + ",\"output\":" + JsonString(e.OutputName) +
            ",\"kind\":" + std::to_string(e.Kind) + ",\"status\":\"" + OutcomeName(r.Outcome) +
            "\",\"result\":" + JsonString(r.Text) + ",\"seconds\":" + seconds + ",\"notes\":[" +
            notes + "]}\n");
    }
  }
  // Why the report is not whole; empty when it is.
  std::string ErrorText() const {
    return Error ? "the report " + Name + " cannot be written: " + SystemErrorText(Error) : "";
  }

 private:
  void Write(const std::string& text) {
    for (size_t done = 0; done < text.size() && Error == 0;) {
      const ssize_t n = write(Fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) Error = n < 0 ? errno : ENOSPC;
      done += n > 0 ? static_cast<size_t>(n) : 0;
    }
  }
  std::string Name;
  int Fd = -1;
  int Error = 0;
  bool Csv = false;
};

unsigned UsableProcessors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
    return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

uint64_t InputBytes(const std::string& name) {
  uint64_t bytes = 0;
  for (const std::string& f : InputFiles(name)) {
    struct stat st;
    if (stat(f.c_str(), &st) == 0) bytes += static_cast<uint64_t>(st.st_size);
  }
  return bytes;
}

std::string Mebibytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1 << 20));
  return text;
}

double DaysSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 86400.0;
}

class TBatchRunner;
struct TRunning;

// The host of one running job. Its hand-offs run on the job's own thread
// under the runner's lock: the runner's thread only reads what they leave.
class TBatchJobHost : public TJobHost {
 public:
  TBatchJobHost(TBatchRunner& runner, TRunning& running) : Runner(runner), Running(running) {}
  void Synchronize(const std::function<void()>& procedure) override;
  void DisplayProgress(int percent, const std::string&, const std::string&) override;
  void ShowError(const std::string& text) override;
  // Kept for the job's result line and its record in the report.
  void ShowNote(const std::string& text) override;
  void JobFinished(TMyThread& job) override;

 private:
  TBatchRunner& Runner;
  TRunning& Running;
};

// A job of the batch, from its start until the runner has taken its result.
struct TRunning {
  size_t Entry = 0;
  int Percent = 0;
  bool Finished = false;
  // Written by the job's thread alone, read once it has been joined.
  std::vector<std::string> Notes;
  std::chrono::steady_clock::time_point Start;
  std::unique_ptr<TBatchJobHost> Host;
  std::unique_ptr<TMyThread> Job;
};

class TBatchRunner {
 public:
  TBatchRunner(const std::vector<TBatchEntry>& entries, const TBatchSettings& settings,
               TBatchReport& report)
      : Entries(entries),
        Settings(settings),
        Report(report),
        Results(entries.size()),
        Terminal(isatty(STDERR_FILENO)) {
    for (const TBatchEntry& e : entries) Bytes.push_back(InputBytes(e.InputName));
    for (uint64_t b : Bytes) TotalBytes += b;
  }

  int Run();

 private:
  friend class TBatchJobHost;

  void Start(size_t entry);
  void Done(size_t entry);
  void ShowProgress(bool force);
  void Print(const std::string& line);

  const std::vector<TBatchEntry>& Entries;
  const TBatchSettings& Settings;
  TBatchReport& Report;
  std::vector<TBatchResult> Results;
  std::vector<uint64_t> Bytes;
  uint64_t TotalBytes = 0;
  uint64_t BytesDone = 0;
  size_t FilesDone = 0;
  bool Terminal;
  bool LineOpen = false;
  std::chrono::steady_clock::time_point BatchStart = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point LastShown;
  std::mutex Mutex;
  std::condition_variable Changed;
  std::list<TRunning> Running;  // stable addresses for the hosts
};

void TBatchJobHost::Synchronize(const std::function<void()>& procedure) {
  std::lock_guard lock(Runner.Mutex);
  procedure();
}

void TBatchJobHost::DisplayProgress(int percent, const std::string&, const std::string&) {
  Running.Percent = percent;
}

void TBatchJobHost::ShowError(const std::string& text) {
  Runner.Print(Runner.Entries[Running.Entry].Origin + ": " + OneLine(text));
}

void TBatchJobHost::ShowNote(const std::string& text) { Running.Notes.push_back(OneLine(text)); }

void TBatchJobHost::JobFinished(TMyThread&) {
  std::lock_guard lock(Runner.Mutex);
  Running.Finished = true;
  Runner.Changed.notify_all();
}

// Called with the lock held, or from the runner's thread alone.
void TBatchRunner::Print(const std::string& line) {
  if (LineOpen) std::fprintf(stderr, "\r\033[K");
  LineOpen = false;
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

void TBatchRunner::ShowProgress(bool force) {
  if (Settings.Gdal.Quiet) return;
  const auto now = std::chrono::steady_clock::now();
  const auto interval = Terminal ? std::chrono::milliseconds(250) : std::chrono::seconds(10);
  // On a terminal the line comes back at once after a file's line.
  if (!force && (!Terminal || LineOpen) && now - LastShown < interval) return;
  LastShown = now;
  double done = static_cast<double>(BytesDone);
  for (const TRunning& r : Running) done += Bytes[r.Entry] * (r.Percent / 100.0);
  const double elapsed = DaysSince(BatchStart);
  const double remaining = done > 0 ? elapsed * (static_cast<double>(TotalBytes) - done) / done : 0;
  const std::string line = "Batch: " + std::to_string(FilesDone) + " of " +
                           std::to_string(Entries.size()) + " files, " +
                           Mebibytes(static_cast<uint64_t>(done)) + " of " + Mebibytes(TotalBytes) +
                           " MiB, Elapsed Time " + TimeText(elapsed) +
                           (done > 0 ? ", Remaining Time " + TimeText(remaining) : std::string());
  if (Terminal) {
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    LineOpen = true;
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
}

void TBatchRunner::Done(size_t entry) {
  const TBatchEntry& e = Entries[entry];
  const TBatchResult& r = Results[entry];
  ++FilesDone;
  BytesDone += Bytes[entry];
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, " (%.1f s)", r.Seconds);
  std::string notes;
  for (const std::string& n : r.Notes) notes += "; " + n;
  const bool wrong = r.Outcome == TOutcome::Failed || r.Outcome == TOutcome::Aborted;
  if (!Settings.Gdal.Quiet || wrong)
    Print("[" + std::to_string(FilesDone) + "/" + std::to_string(Entries.size()) + "] " +
        e.InputName + " -> " + e.OutputName + ": " + r.Text +
        (r.Outcome == TOutcome::Skipped ? "" : seconds) + notes);
  Report.Add(e, r);
}

void TBatchRunner::Start(size_t entry) {
  const TBatchEntry& e = Entries[entry];
  if (Settings.SkipExisting && OutputComplete(e)) {
    Results[entry] = {TOutcome::Skipped, "Skipped: the output is complete", 0, {}};
    std::lock_guard lock(Mutex);
    // Skipped bytes took no time: left in, they would shorten the estimate.
    TotalBytes -= Bytes[entry];
    Bytes[entry] = 0;
    Done(entry);
    return;
  }
  // A record left from an earlier run must not vouch for what this job
  // leaves if it does not finish.
  std::remove(CompletionRecordName(e.OutputName).c_str());
  std::lock_guard lock(Mutex);
  TRunning& r = Running.emplace_back();
  r.Entry = entry;
  r.Start = std::chrono::steady_clock::now();
  r.Host = std::make_unique<TBatchJobHost>(*this, r);
  TJobOptions options;
  options.MemoryLimit = Settings.MemoryLimit;
  options.DropRotation = Settings.DropRotation;
  options.KeepGround = Settings.KeepGround;
  options.Encoding = Settings.Encoding;
  options.CreationOptions = Settings.CreationOptions;
  ApplyGdalSwitches(Settings.Gdal, options);
  r.Job =
      std::make_unique<TMyThread>(*r.Host, e.InputName, e.OutputName, e.Kind, std::move(options));
}

int TBatchRunner::Run() {
  const unsigned jobs = Settings.Jobs;
  size_t next = 0;
  bool stop = false;
  bool failed = false;
  for (;;) {
    while (!stop && !StopSignalled && next < Entries.size() && Running.size() < jobs) Start(next++);
    if (Running.empty()) break;
    std::unique_lock lock(Mutex);
    // Woken by a finished job, or in time to pass a stop signal on.
    Changed.wait_for(lock, kSignalPoll, [&] {
      return std::any_of(Running.begin(), Running.end(),
                         [](const TRunning& r) { return r.Finished; });
    });
    if (StopSignalled)
      for (TRunning& r : Running) r.Job->Stop();
    for (auto it = Running.begin(); it != Running.end();) {
      if (!it->Finished) {
        ++it;
        continue;
      }
      const TBatchEntry& e = Entries[it->Entry];
      TBatchResult& result = Results[it->Entry];
      lock.unlock();
      const std::string message = it->Job->Message();
      const std::string state = it->Job->OutputStateText();
      const TJobOutcome outcome = it->Job->Outcome();
      it->Job.reset();  // joins the finished thread
      result.Notes = std::move(it->Notes);
      result.Seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - it->Start).count();
      result.Text = OneLine(message + (state.empty() ? "" : "; " + state));
      if (outcome == TJobOutcome::Succeeded) {
        result.Outcome = TOutcome::Succeeded;
        if (!RecordCompletion(e))
          result.Text += "; no completion record could be written beside it";
      } else {
        result.Outcome = outcome == TJobOutcome::Aborted ? TOutcome::Aborted : TOutcome::Failed;
        failed = failed || result.Outcome == TOutcome::Failed;
        if (Settings.StopOnError && result.Outcome == TOutcome::Failed) stop = true;
      }
      lock.lock();
      Done(it->Entry);
      it = Running.erase(it);
    }
    ShowProgress(false);
  }
  if (Terminal && !Settings.Gdal.Quiet) {
    ShowProgress(true);
    std::fprintf(stderr, "\n");
    LineOpen = false;
  }

  size_t counts[5] = {};
  for (size_t i = 0; i < Entries.size(); ++i) {
    if (Results[i].Outcome == TOutcome::NotStarted) Report.Add(Entries[i], Results[i]);
    ++counts[static_cast<int>(Results[i].Outcome)];
  }
  std::string summary = "Batch finished: " + std::to_string(counts[int(TOutcome::Succeeded)]) +
                        " succeeded, " + std::to_string(counts[int(TOutcome::Failed)]) +
                        " failed, " + std::to_string(counts[int(TOutcome::Skipped)]) + " skipped";
  if (counts[int(TOutcome::Aborted)])
    summary += ", " + std::to_string(counts[int(TOutcome::Aborted)]) + " aborted";
  if (counts[int(TOutcome::NotStarted)])
    summary += ", " + std::to_string(counts[int(TOutcome::NotStarted)]) + " not started";
  summary += " of " + std::to_string(Entries.size()) + " in " + TimeText(DaysSince(BatchStart));
  if (!Settings.Gdal.Quiet) Print(summary);
  for (size_t i = 0; i < Entries.size(); ++i)
    if (Results[i].Outcome == TOutcome::Failed)
      Print("Failed: " + Entries[i].InputName + " -> " + Entries[i].OutputName + ": " +
            Results[i].Text);
  const std::string reportError = Report.ErrorText();
  if (!reportError.empty()) Print("mirava-cli: " + reportError);
  if (StopSignalled) return 130;
  return failed || !reportError.empty() ? 1 : 0;
}

}  // namespace

uint64_t BatchJobMemory(uint64_t memoryMiB, unsigned jobs, uint64_t available) {
  if (memoryMiB) return memoryMiB << 20;
  return std::max<uint64_t>(1, available / std::max(1u, jobs));
}

int RunBatchCommandLine(const std::vector<std::string>& parameters) {
  TBatchSettings settings;
  const std::string usage = ParseBatchCommandLine(parameters, settings);
  if (!usage.empty()) {
    std::fprintf(stderr, "mirava-cli: %s (see mirava-cli --help)\n", usage.c_str());
    return 2;
  }
  std::vector<std::string> errors;
  std::vector<TBatchEntry> entries;
  if (settings.ListName.empty()) {
    entries = EntriesForInputs(settings);
  } else {
    std::string text;
    if (const std::string why = ReadBatchList(settings.ListName, text); !why.empty()) {
      std::fprintf(stderr, "mirava-cli: %s\n", why.c_str());
      return 2;
    }
    entries = ParseBatchList(text, errors);
    if (settings.ListName != "-" && !settings.ReportName.empty() && settings.ReportName != "-" &&
        SameFile(IdentifyFile(settings.ListName), IdentifyFile(settings.ReportName)))
      errors.push_back("the report " + settings.ReportName + " would overwrite the list");
  }
  for (TBatchEntry& e : entries) e.Format = settings.Gdal.OutputFormat;
  CheckBatch(entries, settings.ReportName, errors);
  for (const TBatchEntry& e : entries)
    if (const TError wrong =
            CreationOptionsRefusal(OutputFormatFor(e.OutputName, e.Format),
                                   CreationOptionsFor(settings.CreationOptions, settings.Gdal));
        wrong.Failed())
      errors.push_back(e.Origin + ": " + wrong.Text);
  for (const TBatchEntry& e : entries)
    if (const std::string wrong = OutputNameRefusal(e.OutputName, e.Format); !wrong.empty())
      errors.push_back(e.Origin + ": " + wrong);
  // Folder mode creates its one output folder once the batch is accepted.
  if (!settings.ListName.empty()) CheckOutputFolders(entries, errors);
  if (!errors.empty()) {
    for (const std::string& e : errors) std::fprintf(stderr, "mirava-cli: %s\n", e.c_str());
    std::fprintf(stderr, "mirava-cli: nothing was started\n");
    return 2;
  }
  if (settings.ListName.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(settings.OutputFolder, ec);
    if (ec) {
      std::fprintf(stderr, "mirava-cli: the output folder %s cannot be created: %s\n",
                   settings.OutputFolder.c_str(), ec.message().c_str());
      return 2;
    }
  }
  if (settings.SliceCount > 1) {
    std::vector<TBatchEntry> slice;
    for (size_t i = settings.SliceIndex; i < entries.size(); i += settings.SliceCount)
      slice.push_back(entries[i]);
    entries = std::move(slice);
  }
  TBatchReport report;
  if (!report.Open(settings.ReportName)) {
    std::fprintf(stderr, "mirava-cli: the report %s cannot be written: %s\n",
                 settings.ReportName.c_str(), SystemErrorText(errno).c_str());
    return 2;
  }
  if (!settings.Jobs) settings.Jobs = UsableProcessors();
  settings.MemoryLimit = BatchJobMemory(settings.MemoryMiB, settings.Jobs, MemoryToCountOn());
  CatchStopSignals();
  StopSignalled = false;
  TBatchRunner runner(entries, settings, report);
  return runner.Run();
}

}  // namespace mirava
