#include "georef/CoordinateSystem.h"

#include <dlfcn.h>
#include <proj.h>

#include <cmath>
#include <memory>

#include "text/TextUtils.h"

namespace mirava {

namespace {

// PROJ is opened at its first look-up, not with the program: with the
// libraries it brings (SQLite, curl, GnuTLS) it would add some 9 MiB to the
// resident memory of every run, most of which meet no EPSG code.
struct TLibraryCloser {
  void operator()(void* library) const { dlclose(library); }
};

struct TProj {
  std::unique_ptr<void, TLibraryCloser> Library;
  decltype(&proj_context_create) ContextCreate = nullptr;
  decltype(&proj_context_destroy) ContextDestroy = nullptr;
  decltype(&proj_log_level) LogLevel = nullptr;
  decltype(&proj_create_from_database) CreateFromDatabase = nullptr;
  decltype(&proj_destroy) Destroy = nullptr;
  decltype(&proj_get_type) GetType = nullptr;
  decltype(&proj_get_name) GetName = nullptr;
  decltype(&proj_crs_get_coordinate_system) CoordinateSystem = nullptr;
  decltype(&proj_cs_get_axis_info) AxisInfo = nullptr;
  decltype(&proj_create) Create = nullptr;
  decltype(&proj_get_source_crs) SourceCrs = nullptr;
  decltype(&proj_get_id_auth_name) IdAuthority = nullptr;
  decltype(&proj_get_id_code) IdCode = nullptr;
  decltype(&proj_identify) Identify = nullptr;
  decltype(&proj_list_get_count) ListCount = nullptr;
  decltype(&proj_list_get) ListGet = nullptr;
  decltype(&proj_list_destroy) ListDestroy = nullptr;
  decltype(&proj_int_list_destroy) IntListDestroy = nullptr;
  decltype(&proj_crs_get_datum_forced) Datum = nullptr;
  decltype(&proj_get_ellipsoid) Ellipsoid = nullptr;
};

template <typename TFunction>
bool Bind(void* library, const char* name, TFunction& function) {
  function = reinterpret_cast<TFunction>(dlsym(library, name));
  return function != nullptr;
}

// Null when PROJ cannot be opened: no code is then known. RTLD_NODELETE
// keeps it mapped after the handle closes at exit, for PROJ's own exit
// handlers.
const TProj* Proj() {
  static const std::unique_ptr<TProj> proj = [] {
    auto p = std::make_unique<TProj>();
    p->Library.reset(dlopen(MIRAVA_PROJ_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
    void* library = p->Library.get();
    const bool bound = library && Bind(library, "proj_context_create", p->ContextCreate) &&
                       Bind(library, "proj_context_destroy", p->ContextDestroy) &&
                       Bind(library, "proj_log_level", p->LogLevel) &&
                       Bind(library, "proj_create_from_database", p->CreateFromDatabase) &&
                       Bind(library, "proj_destroy", p->Destroy) &&
                       Bind(library, "proj_get_type", p->GetType) &&
                       Bind(library, "proj_get_name", p->GetName) &&
                       Bind(library, "proj_crs_get_coordinate_system", p->CoordinateSystem) &&
                       Bind(library, "proj_cs_get_axis_info", p->AxisInfo) &&
                       Bind(library, "proj_create", p->Create) &&
                       Bind(library, "proj_get_source_crs", p->SourceCrs) &&
                       Bind(library, "proj_get_id_auth_name", p->IdAuthority) &&
                       Bind(library, "proj_get_id_code", p->IdCode) &&
                       Bind(library, "proj_identify", p->Identify) &&
                       Bind(library, "proj_list_get_count", p->ListCount) &&
                       Bind(library, "proj_list_get", p->ListGet) &&
                       Bind(library, "proj_list_destroy", p->ListDestroy) &&
                       Bind(library, "proj_int_list_destroy", p->IntListDestroy) &&
                       Bind(library, "proj_crs_get_datum_forced", p->Datum) &&
                       Bind(library, "proj_get_ellipsoid", p->Ellipsoid);
    if (!bound) return std::unique_ptr<TProj>();
    return p;
  }();
  return proj.get();
}

struct TContextDeleter {
  void operator()(PJ_CONTEXT* context) const { Proj()->ContextDestroy(context); }
};
struct TObjectDeleter {
  void operator()(PJ* object) const { Proj()->Destroy(object); }
};
using TContext = std::unique_ptr<PJ_CONTEXT, TContextDeleter>;
using TObject = std::unique_ptr<PJ, TObjectDeleter>;

constexpr double kFoot = 0.3048;

// A context of its own for each look-up: PROJ contexts are not shared
// between threads.
TContext QuietContext() {
  const TProj* proj = Proj();
  if (!proj) return nullptr;
  TContext context(proj->ContextCreate());
  if (context) proj->LogLevel(context.get(), PJ_LOG_NONE);
  return context;
}

TObject EpsgObject(const TContext& context, int code) {
  if (!context || code <= 0) return nullptr;
  return TObject(Proj()->CreateFromDatabase(context.get(), "EPSG", std::to_string(code).c_str(),
                                            PJ_CATEGORY_CRS, 0, nullptr));
}

// Geographic systems ER Mapper names by their datum, with the datum's
// ellipsoid as ER Mapper names it.
struct TDatumName {
  int Code;
  const char* Datum;
  const char* Spheroid;
};
constexpr TDatumName kGeographic[] = {
    {4326, "WGS84", "WGS84"},        {4269, "NAD83", "GRS80"}, {4267, "NAD27", "CLARKE1866"},
    {4283, "GDA94", "GRS80"},        {4202, "AGD66", "ANS"},   {4203, "AGD84", "ANS"},
    {4284, "PULKOVO", "KRASSOVSKY"},
};

// Zoned projected systems: EPSG code first + zone for zones first .. last.
struct TZoneSeries {
  int Base;
  int FirstZone, LastZone;
  const char* Prefix;  // projection name before the zone
  bool TwoDigits;      // zone written with two digits
  int GeographicCode;  // the datum's geographic system in kGeographic
};
constexpr TZoneSeries kZoned[] = {
    {32600, 1, 60, "NUTM", true, 4326}, {32700, 1, 60, "SUTM", true, 4326},
    {26900, 1, 23, "NUTM", true, 4269}, {26700, 1, 22, "NUTM", true, 4267},
    {28300, 48, 58, "MGA", true, 4283}, {28400, 2, 32, "TMGKN", false, 4284},
};

const TDatumName* DatumOfCode(int code) {
  for (const TDatumName& d : kGeographic)
    if (d.Code == code) return &d;
  return nullptr;
}

// Letters, digits and ':' only, upper-cased: "WGS 84", "\"wgs-84\"" and
// "WGS84" match.
std::string NameKey(const std::string& name) {
  std::string key;
  for (char c : UpperCase(name))
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':') key += c;
  return key;
}

// The n of "EPSG:n"; 0 for anything else.
int EpsgOfName(const std::string& key) {
  if (key.rfind("EPSG:", 0) != 0 || key.size() == 5 || key.size() > 11) return 0;
  int code = 0;
  for (size_t i = 5; i < key.size(); ++i) {
    if (key[i] < '0' || key[i] > '9') return 0;
    code = code * 10 + (key[i] - '0');
  }
  return code;
}

// The zone of exactly one or two digits that ends `key` after `prefix`; 0
// when there is none.
int ZoneAfterPrefix(const std::string& key, const std::string& prefix) {
  if (key.rfind(prefix, 0) != 0) return 0;
  const std::string digits = key.substr(prefix.size());
  if (digits.empty() || digits.size() > 2) return 0;
  int zone = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    zone = zone * 10 + (c - '0');
  }
  return zone;
}

}  // namespace

TEpsgFacts EpsgFacts(int code) {
  TEpsgFacts facts;
  const TContext context = QuietContext();
  const TObject crs = EpsgObject(context, code);
  if (!crs) return facts;
  const TProj* proj = Proj();
  const PJ_TYPE type = proj->GetType(crs.get());
  facts.Geographic = type == PJ_TYPE_GEOGRAPHIC_2D_CRS;
  if (!facts.Geographic && type != PJ_TYPE_PROJECTED_CRS) return facts;
  facts.Known = true;
  const TObject cs(proj->CoordinateSystem(context.get(), crs.get()));
  double toMetre = 0;
  const char* direction = nullptr;
  const char* unitAuthority = nullptr;
  const char* unitCode = nullptr;
  if (cs && proj->AxisInfo(context.get(), cs.get(), 0, nullptr, nullptr, &direction, &toMetre,
                           nullptr, &unitAuthority, &unitCode)) {
    facts.NorthFirst = direction && std::string(direction) == "north";
    if (facts.Geographic) return facts;
    facts.Feet = std::fabs(toMetre - kFoot) < 1e-4;
    if (unitAuthority && unitCode && std::string(unitAuthority) == "EPSG")
      facts.LinearUnit = static_cast<uint16_t>(ParseIntDef(unitCode, 0));
  }
  return facts;
}

TEpsgNames EpsgNames(int code) {
  TEpsgNames names;
  const TContext context = QuietContext();
  const TObject crs = EpsgObject(context, code);
  if (!crs) return names;
  const TProj* proj = Proj();
  const auto nameOf = [proj](const TObject& object) {
    const char* name = object ? proj->GetName(object.get()) : nullptr;
    return std::string(name ? name : "");
  };
  names.System = nameOf(crs);
  // A datum ensemble (WGS 84's) is named by its datum.
  names.Datum = nameOf(TObject(proj->Datum(context.get(), crs.get())));
  names.Ellipsoid = nameOf(TObject(proj->Ellipsoid(context.get(), crs.get())));
  return names;
}

TErMapperNames ErMapperNamesOf(int code) {
  TErMapperNames names;
  if (const TDatumName* d = DatumOfCode(code)) {
    names = {"GEODETIC", d->Datum, d->Spheroid, false};
    return names;
  }
  for (const TZoneSeries& s : kZoned) {
    const int zone = code - s.Base;
    if (zone < s.FirstZone || zone > s.LastZone) continue;
    const TDatumName* d = DatumOfCode(s.GeographicCode);
    const std::string number = std::to_string(zone);
    names.Projection = s.Prefix + (s.TwoDigits && zone < 10 ? "0" + number : number);
    names.Datum = d->Datum;
    names.Spheroid = d->Spheroid;
    return names;
  }
  names.Projection = names.Datum = names.Spheroid = "EPSG:" + std::to_string(code);
  names.Feet = EpsgFacts(code).Feet;
  return names;
}

int EpsgOfErMapperNames(const std::string& projection, const std::string& datum) {
  const std::string p = NameKey(projection);
  const std::string d = NameKey(datum);
  if (const int code = EpsgOfName(p)) return code;
  if (p == "GEODETIC") {
    if (const int code = EpsgOfName(d)) return code;
    for (const TDatumName& g : kGeographic)
      if (d == g.Datum) return g.Code;
    return 0;
  }
  // A UTM name without a datum has always meant WGS 84.
  const bool noDatum = d.empty() || NamesNoSystem(d);
  for (const TZoneSeries& s : kZoned) {
    const int zone = ZoneAfterPrefix(p, s.Prefix);
    if (zone < s.FirstZone || zone > s.LastZone) continue;
    const char* seriesDatum = DatumOfCode(s.GeographicCode)->Datum;
    if (d == seriesDatum || (noDatum && (s.GeographicCode == 4326 || s.Base == 28400)))
      return s.Base + zone;
  }
  return 0;
}

namespace {

int CodeOf(const char* id) { return id ? static_cast<int>(ParseIntDef(id, 0)) : 0; }

// The EPSG code a CRS object carries, or the one the database identifies
// it with at `least` percent of confidence or more, when that one is alone
// in its rank; 0 otherwise.
int EpsgOfObject(const TContext& context, const PJ* crs, int least) {
  const TProj* proj = Proj();
  const char* authority = proj->IdAuthority(crs, 0);
  if (authority && std::string(authority) == "EPSG") return CodeOf(proj->IdCode(crs, 0));
  int* confidence = nullptr;
  PJ_OBJ_LIST* found = proj->Identify(context.get(), crs, "EPSG", nullptr, &confidence);
  int code = 0;
  const int count = found ? proj->ListCount(found) : 0;
  if (count > 0 && confidence[0] >= least && (count == 1 || confidence[1] < confidence[0])) {
    const TObject best(proj->ListGet(context.get(), found, 0));
    if (best) code = CodeOf(proj->IdCode(best.get(), 0));
  }
  if (confidence) proj->IntListDestroy(confidence);
  if (found) proj->ListDestroy(found);
  return code;
}

}  // namespace

TError CoordinateSystemOfText(const std::string& text, TCoordinateSystem& crs) {
  crs = {};
  const TContext context = QuietContext();
  if (!context) return TError::Refused("PROJ cannot be opened to read \"" + text + "\"");
  std::string definition = text;
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
    definition = "EPSG:" + text;
  // A PROJ string names an operation unless it says it is a system.
  if (text.find("+proj=") != std::string::npos && text.find("+type=crs") == std::string::npos)
    definition += " +type=crs";
  TObject object(Proj()->Create(context.get(), definition.c_str()));
  if (!object)
    return TError::Format("\"" + text +
                          "\" is no coordinate system PROJ reads (EPSG:n, WKT or a PROJ string)");
  // "+towgs84" makes a bound system around the one that is meant.
  if (Proj()->GetType(object.get()) == PJ_TYPE_BOUND_CRS)
    object.reset(Proj()->SourceCrs(context.get(), object.get()));
  const int code = object ? EpsgOfObject(context, object.get(), 70) : 0;
  const TEpsgFacts facts = EpsgFacts(code);
  if (code == 0 || !facts.Known)
    return TError::Refused("\"" + text +
                           "\" is no geographic or projected coordinate system of the EPSG "
                           "database, and Mirava states coordinate systems by their EPSG code");
  crs.Epsg = code;
  return {};
}

bool ErMapperNamesState(const TCoordinateSystem& crs) {
  return crs.Epsg != 0 || crs.GeoKeys.Empty();
}

TErMapperNames ErMapperNamesFor(const TCoordinateSystem& crs, const TErMapperNames& given) {
  if (crs.Epsg != 0) return ErMapperNamesOf(crs.Epsg);
  if (!crs.GeoKeys.Empty()) return {"RAW", "RAW", "RAW", false};
  return given;
}

bool NamesNoSystem(const std::string& name) {
  const std::string key = NameKey(name);
  return key.empty() || key == "RAW" || key == "UNKNOWN";
}

std::string DescribeCoordinateSystem(const TCoordinateSystem& crs) {
  const int code = crs.Epsg != 0 ? crs.Epsg : crs.UnitOverriddenEpsg;
  if (code != 0) {
    std::string text = "EPSG:" + std::to_string(code);
    const TContext context = QuietContext();
    const TObject object = EpsgObject(context, code);
    if (const char* name = object ? Proj()->GetName(object.get()) : nullptr)
      text += std::string(" (") + name + ")";
    if (crs.Epsg == 0) {
      const uint16_t unit = crs.LinearUnit;
      text += " in " + std::string(unit == 9001   ? "metres"
                                   : unit == 9002 ? "feet"
                                   : unit == 9003 ? "US survey feet"
                                                  : "EPSG unit " + std::to_string(unit));
    }
    return text;
  }
  if (crs.GeoKeys.Empty()) return "none";
  // The first citation of the ASCII parameters, which end each with '|'.
  const std::string citation = crs.GeoKeys.Ascii.substr(0, crs.GeoKeys.Ascii.find('|'));
  return citation.empty() ? "user-defined GeoTIFF keys"
                          : "user-defined GeoTIFF keys (" + citation + ")";
}

}  // namespace mirava
