// "--check" over the fake: the engine's headers read from crafted images,
// one row per finding of the report (each row the installation as a
// deployment leaves it, then one thing changed), and where the report goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "app/entry.h"
#include "fake/host_fixture.h"
#include "install/check.h"
#include "install/deploy.h"
#include "install/manifest.h"
#include "support/pe_image.h"

namespace lumiclip::testing {
namespace {

using namespace deployed;

// --- crafted images ---------------------------------------------------------

void Put16(std::string& b, size_t at, uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2, '\0');
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8 & 0xFF);
}
void Put32(std::string& b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

struct ImageSpec {
  uint16_t machine = kHostMachine;
  bool dll = true;
  std::vector<std::string> names = {"_initLibrary", "call"};
  bool zeroAddresses = false;
  size_t cutAt = 0;  // non-zero: the file ends there
};

// A library as the linker lays one out: headers, then one section holding
// the export directory, the address, name and ordinal tables (names sorted)
// and the names.
std::string BuildImage(const ImageSpec& spec) {
  const bool plus = spec.machine != kMachineI386;
  const uint32_t optionalSize = plus ? 240 : 224, section = 0x1000, raw = 0x200;
  std::string b(raw, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, 0x40);
  b.replace(0x40, 4, std::string("PE\0\0", 4));
  Put16(b, 0x44, spec.machine);
  Put16(b, 0x46, 1);
  Put16(b, 0x54, optionalSize);
  Put16(b, 0x56, spec.dll ? 0x2102 : 0x0102);
  const size_t optional = 0x58;
  Put16(b, optional, plus ? 0x20B : 0x10B);
  Put32(b, optional + 60, raw);
  const size_t directories = optional + (plus ? 108 : 92);
  Put32(b, directories, 16);
  Put32(b, directories + 4, section);
  const size_t table = optional + optionalSize;
  b.replace(table, 6, ".edata");

  std::vector<std::string> names = spec.names;
  std::sort(names.begin(), names.end());
  const uint32_t n = static_cast<uint32_t>(names.size());
  const uint32_t functions = section + 40, nameTable = functions + 4 * n, ordinals = nameTable + 4 * n;
  uint32_t text = ordinals + 2 * n;
  std::string data(40, '\0');
  Put32(data, 20, n);
  Put32(data, 24, n);
  Put32(data, 28, functions);
  Put32(data, 32, nameTable);
  Put32(data, 36, ordinals);
  for (uint32_t i = 0; i < n; ++i) {
    Put32(data, functions - section + 4 * i, spec.zeroAddresses ? 0 : 0x2000 + 16 * i);
    Put32(data, nameTable - section + 4 * i, text);
    Put16(data, ordinals - section + 2 * i, i);
    data.resize(text - section);
    data += names[i] + '\0';
    text += static_cast<uint32_t>(names[i].size() + 1);
  }
  Put32(b, directories + 8, static_cast<uint32_t>(data.size()));
  data.resize((data.size() + raw - 1) / raw * raw, '\0');
  Put32(b, table + 8, static_cast<uint32_t>(data.size()));
  Put32(b, table + 12, section);
  Put32(b, table + 16, static_cast<uint32_t>(data.size()));
  Put32(b, table + 20, raw);
  b += data;
  if (spec.cutAt != 0) b.resize(spec.cutAt);
  return b;
}

const uint16_t kOtherMachine = kHostMachine == kMachineI386 ? kMachineAmd64 : kMachineI386;

PeFacts FactsOf(const std::string& bytes) {
  return ReadPeFacts(
      [&bytes](uint64_t offset, uint32_t size, std::string* out) {
        *out = offset < bytes.size() ? bytes.substr(offset, size) : std::string();
        return true;
      },
      "_initLibrary");
}

ImageSpec With(void (*change)(ImageSpec&)) {
  ImageSpec spec;
  change(spec);
  return spec;
}

TEST(PeImage, KindMachineAndExportFromTheHeaders) {
  struct Case {
    const char* name;
    std::string bytes;
    PeVerdict verdict;
    uint16_t machine;
    bool exported;
  };
  const Case cases[] = {
      {"ThisMachine", BuildImage({}), PeVerdict::kLibrary, kHostMachine, true},
      {"AmongManyNames", BuildImage(With([](ImageSpec& s) {
         for (int i = 0; i < 300; ++i) s.names.push_back("entry" + std::to_string(i));
       })),
       PeVerdict::kLibrary, kHostMachine, true},
      // Upper case sorts before "_": the name searched for comes last.
      {"LastOfTheNames",
       BuildImage(With([](ImageSpec& s) { s.names = {"Alpha", "Beta", "Gamma", "_initLibrary"}; })),
       PeVerdict::kLibrary, kHostMachine, true},
      {"OtherMachine", BuildImage(With([](ImageSpec& s) { s.machine = kOtherMachine; })), PeVerdict::kLibrary,
       kOtherMachine, true},
      {"Program", BuildImage(With([](ImageSpec& s) { s.dll = false; })), PeVerdict::kNotALibrary, kHostMachine,
       false},
      {"NamesThatAlmostMatch",
       BuildImage(With([](ImageSpec& s) { s.names = {"_initLibrar", "_initLibraryEx", "initLibrary"}; })),
       PeVerdict::kLibrary, kHostMachine, false},
      {"NoExports", BuildImage(With([](ImageSpec& s) { s.names.clear(); })), PeVerdict::kLibrary, kHostMachine,
       false},
      {"NameWithoutAddress", BuildImage(With([](ImageSpec& s) { s.zeroAddresses = true; })), PeVerdict::kLibrary,
       kHostMachine, false},
      {"CutInsideTheNames", BuildImage(With([](ImageSpec& s) { s.cutAt = 0x200 + 40 + 16 + 8 + 3; })),
       PeVerdict::kLibrary, kHostMachine, false},
      {"CutInsideTheHeaders", BuildImage(With([](ImageSpec& s) { s.cutAt = 0x90; })), PeVerdict::kNotAnImage,
       kHostMachine, false},
      {"NoMzSignature", "ZM" + BuildImage({}).substr(2), PeVerdict::kNotAnImage, 0, false},
      {"Text", "not a library at all, but a long enough text to hold a DOS header's bytes", PeVerdict::kNotAnImage,
       0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PeFacts facts = FactsOf(c.bytes);
    EXPECT_EQ(facts.verdict, c.verdict);
    EXPECT_EQ(facts.machine, c.machine);
    EXPECT_EQ(facts.exported, c.exported);
  }
  PeFacts failed = ReadPeFacts([](uint64_t, uint32_t, std::string*) { return false; }, "_initLibrary");
  EXPECT_EQ(failed.verdict, PeVerdict::kUnreadable);
}

// --- the report -------------------------------------------------------------

const std::string kOutside = "C:\\Downloads\\lumiclip-chrome-plugin.exe";
const std::string kDeployedLog = kFolder + "\\native-lumiclip.log";
const std::string kXmlLite = "C:\\Windows\\System32\\xmllite.dll";
const char kKey[] = "Software\\Google\\Chrome\\NativeMessagingHosts\\com.lumiclipapp.api";
const std::string kEdgeKey = "SOFTWARE\\Microsoft\\Edge\\NativeMessagingHosts\\com.lumiclipapp.api";
const std::string kChromePolicy = "SOFTWARE\\Policies\\Google\\Chrome";
const std::string kEdgePolicy = "SOFTWARE\\Policies\\Microsoft\\Edge";
const std::string kChromeKeyShown =
    "HKEY_CURRENT_USER\\SOFTWARE\\Google\\Chrome\\NativeMessagingHosts\\com.lumiclipapp.api (32-bit view)";
const std::string kMachineChromeKey = "SOFTWARE\\Google\\Chrome\\NativeMessagingHosts\\com.lumiclipapp.api";
const std::string kOther = "D:\\Other\\host.json";
const std::string kReinstall = "run lumiclip-chrome-plugin.exe once, without arguments, to install it again";
const char kAllStart[] = "Chrome, Chromium and Edge will start the host.";
const char kNoneStart[] = "No browser will start the host: see the lines that begin with \"problem\".";
constexpr int k32 = 0, k64 = 1;

FakeRegValue Dword(uint32_t n) { return {win::kRegDword, std::string(reinterpret_cast<const char*>(&n), 4)}; }
FakeRegValue Sz(const std::string& text) { return {win::kRegSz, text}; }

std::map<std::string, std::string> Version(const std::string& version) {
  return {{"\\VarFileInfo\\Translation", std::string("\0\0\xb0\x04", 4)},
          {"\\StringFileInfo\\000004b0\\LumiclipInternalVersion", version + '\0'}};
}

std::string Browser(const char* name, const std::string& rest) { return std::string(name) + ": " + rest; }

// What every browser finds right after a deployment.
std::vector<std::string> InstalledLines() {
  std::vector<std::string> lines;
  for (const char* browser : {"Chrome", "Chromium", "Edge"}) {
    lines.push_back("ok: " + Browser(browser, "no policy keeps it from starting com.lumiclipapp.api"));
    lines.push_back("ok: " + Browser(browser, "finds " + kChromeKeyShown + " first; it names this installation's "
                                                                          "manifest"));
  }
  lines.push_back("ok: the manifest " + kManifest + " holds what this version writes");
  lines.push_back("ok: the manifest names " + kExe + ", a host of version 0.98.93, the version of this copy");
  lines.push_back("ok: RAZ.dll: not in " + kFolder + " yet; the extension sends it when it next connects");
  lines.push_back("ok: xmllite.dll: found in C:\\Windows\\System32");
  lines.push_back("ok: the log " + kDeployedLog + " can be written");
  lines.push_back("ok: no leftover temporary files in " + kFolder);
  lines.push_back("ok: no other host runs from " + kFolder);
  lines.push_back(kAllStart);
  return lines;
}

struct Case {
  const char* name;
  void (*arrange)(FakeOs&);
  int status;
  std::vector<std::string> lines;  // each among the report's lines; the whole report for "Installed"
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

std::string EngineLine(const std::string& rest) { return "RAZ.dll: " + kEngine + rest; }
const std::string kSendAgain = "; delete it, and the extension sends the engine again when it next connects";

const Case kCases[] = {
    {"Installed", nullptr, 0, InstalledLines()},
    {"NoRegistration",
     [](FakeOs& os) {
       os.registry.clear();
       os.registryKeys.clear();
     },
     1,
     {"problem: Chrome: finds no registration of com.lumiclipapp.api; " + kReinstall, kNoneStart}},
    {"KeyWithoutValue", [](FakeOs& os) { os.registry.clear(); }, 1,
     {"problem: Chrome: finds no registration of com.lumiclipapp.api: " + kChromeKeyShown + " names no manifest; " +
      kReinstall}},
    {"AnotherManifest", [](FakeOs& os) { os.registry[kKey] = kOther; }, 1,
     {"problem: Chrome: finds " + kChromeKeyShown + " first; it names another manifest, " + kOther +
      ", not this installation's, " + kManifest + "; " + kReinstall}},
    {"ManifestPathNotAbsolute", [](FakeOs& os) { os.registry[kKey] = "lumiclip-native-manifest.json"; }, 1,
     {"problem: Chrome: finds " + kChromeKeyShown +
      " first; it names lumiclip-native-manifest.json, not an absolute path, which the browser refuses; " +
      kReinstall}},
    // Edge's own key comes before Chrome's, and only Edge reads it.
    {"EdgeFindsItsOwnKeyFirst", [](FakeOs& os) { os.registry[kEdgeKey] = kOther; }, 1,
     {"problem: Edge: finds HKEY_CURRENT_USER\\" + kEdgeKey + " (32-bit view) first; it names another manifest, " +
          kOther + ", not this installation's, " + kManifest +
          "; remove that key, or the installation it belongs to, so that Edge finds this one",
      "Edge will not start the host (see the lines that begin with \"problem\"); Chrome and Chromium will."}},
    // The user's keys come before the machine's.
    {"MachineKeysAfterTheUsers",
     [](FakeOs& os) {
       os.machineRegistry[k32][kMachineChromeKey][""] = Sz(kOther);
       os.machineRegistry[k64][kMachineChromeKey][""] = Sz(kOther);
     },
     0, {"ok: Chrome: finds " + kChromeKeyShown + " first; it names this installation's manifest", kAllStart}},
    // Without the user's keys: the machine's 32-bit view before its 64-bit one.
    {"UserHostsOffMachine32First",
     [](FakeOs& os) {
       os.machineRegistry[k64][kChromePolicy]["NativeMessagingUserLevelHosts"] = Dword(0);
       os.machineRegistry[k32][kMachineChromeKey][""] = Sz(kOther);
       os.machineRegistry[k64][kMachineChromeKey][""] = Sz(kManifest);
     },
     1,
     {"problem: Chrome: the policy NativeMessagingUserLevelHosts is 0 in HKEY_LOCAL_MACHINE\\" + kChromePolicy +
          ", so it starts no host installed for the user, as this one is; ask your administrator to allow such "
          "hosts",
      "problem: Chrome: finds HKEY_LOCAL_MACHINE\\" + kMachineChromeKey +
          " (32-bit view) first; it names another manifest, " + kOther + ", not this installation's, " +
          kManifest + "; remove that key, or the installation it belongs to, so that Chrome finds this one",
      "Chrome will not start the host (see the lines that begin with \"problem\"); Chromium and Edge will."}},
    {"UserHostsOffButRegisteredForTheMachine",
     [](FakeOs& os) {
       os.machineRegistry[k64][kChromePolicy]["NativeMessagingUserLevelHosts"] = Dword(0);
       os.machineRegistry[k64][kMachineChromeKey][""] = Sz(kManifest);
     },
     0,
     {"note: Chrome: the policy NativeMessagingUserLevelHosts is 0 in HKEY_LOCAL_MACHINE\\" + kChromePolicy +
          ", so it starts no host installed for the user; this one is registered for the machine too",
      "ok: Chrome: finds HKEY_LOCAL_MACHINE\\" + kMachineChromeKey +
          " (64-bit view) first; it names this installation's manifest"}},
    {"UserHostsOffByTheUsersPolicyAsText",
     [](FakeOs& os) { os.registryValues[kEdgePolicy]["NativeMessagingUserLevelHosts"] = Sz("0"); }, 1,
     {"problem: Edge: the policy NativeMessagingUserLevelHosts is 0 in HKEY_CURRENT_USER\\" + kEdgePolicy +
          ", so it starts no host installed for the user, as this one is; ask your administrator to allow such "
          "hosts",
      "problem: Edge: finds no registration of com.lumiclipapp.api for the machine, and the policy keeps it from "
      "looking for the user's; see the policy above"}},
    // The machine's policy wins over the user's.
    {"UsersPolicyOverruledByTheMachines",
     [](FakeOs& os) {
       os.registryValues[kChromePolicy]["NativeMessagingUserLevelHosts"] = Dword(0);
       os.machineRegistry[k64][kChromePolicy]["NativeMessagingUserLevelHosts"] = Dword(1);
     },
     0, {"ok: Chrome: no policy keeps it from starting com.lumiclipapp.api", kAllStart}},
    {"BlocklistOfAll",
     [](FakeOs& os) { os.machineRegistry[k64][kChromePolicy + "\\NativeMessagingBlocklist"]["1"] = Sz("*"); }, 1,
     {"problem: Chrome: the policy list HKEY_LOCAL_MACHINE\\" + kChromePolicy +
      "\\NativeMessagingBlocklist holds * and NativeMessagingAllowlist does not hold com.lumiclipapp.api; ask your "
      "administrator to allow com.lumiclipapp.api"}},
    {"BlocklistOfAllButAllowed",
     [](FakeOs& os) {
       os.machineRegistry[k64][kChromePolicy + "\\NativeMessagingBlocklist"]["1"] = Sz("*");
       os.registryValues[kChromePolicy + "\\NativeMessagingAllowlist"]["1"] = Sz("other.host");
       os.registryValues[kChromePolicy + "\\NativeMessagingAllowlist"]["2"] = Sz("com.lumiclipapp.api");
     },
     0, {kAllStart}},
    {"BlocklistOfTheName",
     [](FakeOs& os) {
       os.registryValues[kEdgePolicy + "\\NativeMessagingBlocklist"]["1"] = Sz("other.host");
       os.registryValues[kEdgePolicy + "\\NativeMessagingBlocklist"]["2"] = Sz("com.lumiclipapp.api");
     },
     1,
     {"problem: Edge: the policy list HKEY_CURRENT_USER\\" + kEdgePolicy +
      "\\NativeMessagingBlocklist holds com.lumiclipapp.api and NativeMessagingAllowlist does not hold "
      "com.lumiclipapp.api; ask your administrator to allow com.lumiclipapp.api"}},
    {"ManifestDiffers",
     [](FakeOs& os) {
       std::string& text = os.files[FakeOs::Lower(kManifest)];
       text.replace(text.find("\"stdio\""), 7, "\"other\"");
     },
     1,
     {"problem: the manifest " + kManifest + " differs from what this version writes, from line 5 on; " + kReinstall,
      kNoneStart}},
    {"ManifestMissing", [](FakeOs& os) { os.files.erase(FakeOs::Lower(kManifest)); }, 1,
     {"problem: the manifest " + kManifest + " is missing; " + kReinstall, kNoneStart}},
    {"ExeMissing", [](FakeOs& os) { os.files.erase(FakeOs::Lower(kExe)); }, 1,
     {"problem: the manifest names " + kExe + ", which is missing; " + kReinstall, kNoneStart}},
    // As a swap leaves it: the staged copy by its full path, escaped.
    {"ManifestNamesTheStagedCopy",
     [](FakeOs& os) {
       const std::string staged = kStaging + "\\lumiclip-chrome-plugin.exe";
       os.AddFolder(kStaging);
       os.AddFile(staged, "MZ staged");
       os.versions[FakeOs::Lower(staged)] = Version("0.98.93");
       os.files.erase(FakeOs::Lower(kExe));
       ASSERT_TRUE(ExtractManifest(staged.c_str(), kFolder.c_str()));
     },
     0,
     {"ok: the manifest names " + kStaging + "\\lumiclip-chrome-plugin.exe, a host of version 0.98.93, the version "
                                             "of this copy",
      kAllStart}},
    {"HostOfAnotherVersion", [](FakeOs& os) { os.versions[FakeOs::Lower(kExe)] = Version("0.98.90"); }, 0,
     {"note: the manifest names " + kExe +
      ", a host of version 0.98.90; this copy is of version 0.98.93: to install this one, run it once without "
      "arguments"}},
    {"NoHostButAFile", [](FakeOs& os) { os.versions.erase(FakeOs::Lower(kExe)); }, 1,
     {"problem: the manifest names " + kExe + ", which is no Lumiclip host (it has no version); " + kReinstall}},
    {"EngineOfAnotherMachine",
     [](FakeOs& os) { os.AddFile(kEngine, BuildImage(With([](ImageSpec& s) { s.machine = kOtherMachine; }))); }, 0,
     {"warning: " + EngineLine(" is a library for " + MachineName(kOtherMachine) + ", and this host is " +
                               MachineName(kHostMachine) + kSendAgain),
      kAllStart}},
    {"EngineWithoutTheExport",
     [](FakeOs& os) { os.AddFile(kEngine, BuildImage(With([](ImageSpec& s) { s.names = {"start"}; }))); }, 0,
     {"warning: " + EngineLine(" does not export _initLibrary" + kSendAgain)}},
    {"EngineNoLibrary", [](FakeOs& os) { os.AddFile(kEngine, "an old engine"); }, 0,
     {"warning: " + EngineLine(" is no library" + kSendAgain)}},
    {"EngineThatLoads", [](FakeOs& os) { os.AddFile(kEngine, BuildImage({})); }, 0,
     {"ok: " + EngineLine(", a library for " + MachineName(kHostMachine) + " that exports _initLibrary")}},
    {"NoXmlLite", [](FakeOs& os) { os.files.erase(FakeOs::Lower(kXmlLite)); }, 0,
     {"warning: xmllite.dll: found neither in C:\\Windows\\System32 nor in " + kFolder +
      "; the engine cannot be loaded without it: install XmlLite (a part of Windows since Vista)"}},
    {"XmlLiteBesideTheEngine",
     [](FakeOs& os) {
       os.files.erase(FakeOs::Lower(kXmlLite));
       os.AddFile(kFolder + "\\xmllite.dll", "MZ");
     },
     0, {"ok: xmllite.dll: found in " + kFolder}},
    {"LogNotWritable", [](FakeOs& os) { os.failing.insert("OpenToAppend:" + kDeployedLog); }, 0,
     {"warning: the log " + kDeployedLog +
      " cannot be opened for writing, so the host runs without it; clear its read-only attribute, or delete it"}},
    {"Leftovers",
     [](FakeOs& os) {
       os.AddFile(kExe + ".77.3~", "cut copy");
       os.AddFolder(kStaging);
       os.AddFile(kStaging + "\\lumiclip-chrome-plugin.exe.77.4~", "cut copy");
       os.AddFile(kFolder + "\\notes.txt~", "the user's");
     },
     0,
     {"note: 2 leftover temporary files (" + kExe + ".77.3~ and " + kStaging +
      "\\lumiclip-chrome-plugin.exe.77.4~): harmless; the next start of a host removes those whose writer has "
      "ended"}},
    {"OtherHostsRun",
     [](FakeOs& os) {
       os.processImages = {{77, kExe}, {88, kStaging + "\\LUMICLIP-chrome-plugin.exe"}, {99, "C:\\Other\\x.exe"}};
     },
     0,
     {"note: 2 other hosts run from " + kFolder +
      " (processes 77 and 88); each serves one connection of a browser and ends with it"}},
};

class Check : public HostFixture, public ::testing::WithParamInterface<Case> {
 protected:
  // The installation as a deployment from a download leaves it, with a log
  // of the deployed host's.
  void Install() {
    os.AddFolder("C:\\Downloads");
    os.AddFile(kOutside, "MZ host");
    os.versions[FakeOs::Lower(kOutside)] = Version("0.98.93");
    os.executablePath = kOutside;
    ASSERT_TRUE(DeployHost(kOutside.c_str(), true));
    os.versions[FakeOs::Lower(kExe)] = Version("0.98.93");
    os.AddFile(kDeployedLog, "lines\r\n");
    os.AddFile(kXmlLite, "MZ");
    log_internal::ResetForTests();
    os.files.erase(FakeOs::Lower("C:\\Downloads\\native-lumiclip.log"));
    os.calls.clear();
  }

  std::vector<std::string> BoxLines() const {
    std::vector<std::string> lines;
    if (os.boxes.empty()) return lines;
    const std::string& text = os.boxes.back().text;
    for (size_t at = 0; at <= text.size();) {
      size_t end = std::min(text.find("\r\n", at), text.size());
      lines.push_back(text.substr(at, end - at));
      at = end + 2;
    }
    return lines;
  }
};
using CheckOutput = Check;

TEST_P(Check, ReportsEachFindingOnALine) {
  const Case& c = GetParam();
  Install();
  if (c.arrange != nullptr) c.arrange(os);
  os.files.erase(FakeOs::Lower("C:\\Downloads\\native-lumiclip.log"));
  const auto files = os.files;
  const auto registry = os.registry;
  const auto values = os.registryValues;
  const auto keys = os.registryKeys;
  os.calls.clear();

  EXPECT_EQ(RunCheck(), c.status);
  ASSERT_EQ(os.boxes.size(), 1u);
  EXPECT_EQ(os.boxes[0].caption, "Lumiclip installation check");
  EXPECT_EQ(os.boxes[0].flags, c.status == 0 ? 0x40u : 0x30u);
  std::vector<std::string> lines = BoxLines();
  if (std::string(c.name) == "Installed") {
    EXPECT_EQ(lines, c.lines);
  } else {
    for (const std::string& line : c.lines) {
      EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end())
          << "missing: " << line << "\nreport:\n" << ::testing::PrintToString(lines);
    }
  }
  // Each a line of the log, in order.
  EXPECT_TRUE(LogHasInOrder(os.Log(), lines));
  // A problem, and only a problem, keeps a browser from the host.
  bool problem = std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("problem: ", 0) == 0; });
  EXPECT_EQ(problem, c.status == 1);

  // It changes nothing and loads nothing; only its own log grows.
  os.files.erase(FakeOs::Lower("C:\\Downloads\\native-lumiclip.log"));
  EXPECT_TRUE(os.files == files);
  EXPECT_EQ(os.registry, registry);
  EXPECT_TRUE(os.registryValues == values);
  EXPECT_EQ(os.registryKeys, keys);
  for (const char* change : {"RegCreateUserKey(", "RegSet", "RegDelete", "RemoveFile(", "RenameFile(", "OpenNewFile(",
                             "CopyToNew(", "MakeDirectory(", "RemoveFolder(", "ShellRun(", "Load"}) {
    EXPECT_FALSE(os.Called(change)) << change;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Check, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// To standard output when a script redirected it (UTF-8), else to the
// console of the program that started it (UTF-16, after the prompt that
// console shows meanwhile), else in a box; the status comes back through the
// entry, whose lines frame the report as in every mode.
TEST_F(CheckOutput, GoesWhereItCanBeRead) {
  struct Where {
    const char* name;
    bool fileOrPipe, outputBroken, console;
    bool toOutput, toConsole, toBox;
  };
  const Where cases[] = {{"Redirected", true, false, true, true, false, false},
                         {"RedirectedButBroken", true, true, true, false, true, false},
                         {"FromAConsole", false, false, true, false, true, false},
                         {"Opened", false, false, false, false, false, true}};
  Install();
  os.registry.clear();
  os.registryKeys.clear();
  std::vector<std::string> expected = InstalledLines();
  for (std::string& line : expected) {
    size_t finds = line.find(": finds ");
    if (finds != std::string::npos) {
      line = "problem: " + line.substr(4, finds - 4) + ": finds no registration of com.lumiclipapp.api; " + kReinstall;
    }
  }
  expected.back() = kNoneStart;
  std::string text;
  for (const std::string& line : expected) text += line + "\r\n";
  for (const Where& w : cases) {
    SCOPED_TRACE(w.name);
    os.output.clear();
    os.console.clear();
    os.boxes.clear();
    os.outputIsFileOrPipe = w.fileOrPipe;
    os.outputBroken = w.outputBroken;
    os.parentConsole = w.console;
    log_internal::ResetForTests();
    os.files.erase(FakeOs::Lower("C:\\Downloads\\native-lumiclip.log"));
    const char* argv[] = {kOutside.c_str(), "--check"};
    EXPECT_EQ(RunEntry(2, argv), 1);
    EXPECT_EQ(os.output, w.toOutput ? text : "");
    EXPECT_EQ(os.console, w.toConsole ? "\r\n" + text : "");
    ASSERT_EQ(os.boxes.size(), w.toBox ? 1u : 0u);
    if (w.toBox) {
      EXPECT_EQ(os.boxes[0].text + "\r\n", text);
    }
    std::vector<std::string> log = {"Started", "With command: 7", "Checking the installation in " + kFolder + "..."};
    log.insert(log.end(), expected.begin(), expected.end());
    log.push_back("Exit");
    EXPECT_EQ(os.Log(), StoredLog(log));
  }
}

}  // namespace
}  // namespace lumiclip::testing
