// The program run unattended (/F), with a display and without one.
#include <QtTest>
#include <filesystem>

#include "../../TestRasters.h"
#include "../../TestUtil.h"
#include "app/IniFile.h"

using namespace mirava;
using mirava::test::TempDir;

class TUnattendedTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> Dir;
  std::string Program;
  std::string Input;

  // Runs the program copied into the scratch folder, so that its settings
  // file lands there; `environment` goes before it on the command line.
  test::CommandResult Run(const std::string& environment, const std::vector<std::string>& args) {
    std::string command = "env " + environment + " " + test::Quote(Program);
    for (const std::string& a : args) command += " " + test::Quote(a);
    return test::Run(command + " </dev/null");
  }

 private slots:
  void init() {
    Dir = std::make_unique<TempDir>();
    Program = *Dir / "mirava";
    std::filesystem::copy_file(MIRAVA_WINDOW, Program);
    std::filesystem::copy_file(test::Sample("luxembourg.ers"), *Dir / "lux.ers");
    std::filesystem::copy_file(test::Sample("luxembourg"), *Dir / "lux");
    Input = *Dir / "lux.ers";
  }
  void cleanup() { Dir.reset(); }

  void WithDisplay() {
    const std::string out = *Dir / "out.ers";
    const auto result = Run("QT_QPA_PLATFORM=offscreen", {Input, out, "/F", "/3"});
    QCOMPARE(result.ExitCode, 0);
    QVERIFY2(result.Output.find("Successful Finish") != std::string::npos, result.Output.c_str());
    // The window shows the progress; nothing of it goes to the terminal.
    QVERIFY2(result.Output.find("Remaining Time") == std::string::npos, result.Output.c_str());
    QVERIFY(test::ReadText(out).find("NrOfLines = 95") != std::string::npos);
    const TIniFile ini(*Dir / "mirava.ini");
    QCOMPARE(ini.ReadString("Names", "InName", ""), Input);
    QCOMPARE(ini.ReadString("Names", "OutName", ""), out);

    const auto failed = Run("QT_QPA_PLATFORM=offscreen", {*Dir / "none.ers", out, "/F"});
    QCOMPARE(failed.ExitCode, 1);
    QVERIFY2(failed.Output.find("No file: ") != std::string::npos, failed.Output.c_str());
  }

  void RefusedOutputDoesNotWaitForAClick() {
    std::filesystem::create_directory(*Dir / "out.gcp");
    const auto result =
        Run("QT_QPA_PLATFORM=offscreen timeout 60", {Input, *Dir / "out.ers", "/F"});
    QCOMPARE(result.ExitCode, 1);
    QVERIFY2(result.Output.find("Output " + *Dir / "out.gcp" + " is a folder") != std::string::npos,
             result.Output.c_str());
    std::filesystem::remove(*Dir / "out.gcp");
  }

  void WithoutDisplay() {
    const std::string noDisplay = "-u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY";
    const std::string out = *Dir / "out.ers";
    const auto result = Run(noDisplay, {Input, out, "/3", "/F"});
    QCOMPARE(result.ExitCode, 0);
    QVERIFY2(result.Output.find("Remaining Time") != std::string::npos, result.Output.c_str());
    QVERIFY(result.Output.rfind("Successful Finish\n") == result.Output.size() - 18);
    // "/3 /F" is kind 3: the output's rows are the input's 95 columns.
    QVERIFY(test::ReadText(out).find("NrOfLines = 95") != std::string::npos);
    const TIniFile ini(*Dir / "mirava.ini");
    QCOMPARE(ini.ReadString("Names", "OutName", ""), out);

    const auto failed = Run(noDisplay, {*Dir / "none.ers", out, "/F"});
    QCOMPARE(failed.ExitCode, 1);
    QVERIFY2(failed.Output.find("No file: ") != std::string::npos, failed.Output.c_str());
  }

  // A stop signal ends the job as on the command line: "User Abort", no
  // temporary and no lock left behind.
  void StopSignalsEndTheJob() {
    test::TestRaster large;
    large.Columns = 16384;
    large.Rows = 8192;
    large.Bands = 1;
    test::WriteErsHeader(*Dir / "large.ers", large);
    { std::ofstream data(*Dir / "large"); }
    std::filesystem::resize_file(*Dir / "large", uint64_t{16384} * 8192);
    for (const char* signal : {"TERM", "HUP", "INT"}) {
      const auto result =
          test::Run("{ env QT_QPA_PLATFORM=offscreen " + test::Quote(Program) + " " +
                    test::Quote(*Dir / "large.ers") + " " + test::Quote(*Dir / "out.ers") +
                    " /F /3 </dev/null & pid=$!; until ls " + test::Quote(Dir->str()) +
                    "/.mirava-*.tmp >/dev/null 2>&1; do sleep 0.01; done; kill -" + signal +
                    " $pid; wait $pid; }");
      QVERIFY2(result.ExitCode == 130, (signal + (": " + result.Output)).c_str());
      QVERIFY2(result.Output.find("User Abort") != std::string::npos, result.Output.c_str());
      for (const auto& entry : std::filesystem::directory_iterator(Dir->str()))
        QVERIFY2(!entry.path().filename().string().starts_with(".mirava-"), entry.path().c_str());
    }
  }

  void DisplayThatCannotBeOpened() {
    const std::string out = *Dir / "out.ers";
    const auto result =
        Run("-u QT_QPA_PLATFORM -u WAYLAND_DISPLAY DISPLAY=:4711", {Input, out, "/F", "/1"});
    QCOMPARE(result.ExitCode, 0);
    QVERIFY2(result.Output.find("running the job without one") != std::string::npos,
             result.Output.c_str());
    QVERIFY2(result.Output.find("Successful Finish") != std::string::npos, result.Output.c_str());
    QVERIFY(test::Exists(*Dir / "out.gcp"));
  }
};

int RunUnattendedTests(int argc, char** argv) {
  TUnattendedTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "UnattendedTest.moc"
