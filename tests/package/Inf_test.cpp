// zendra.inf against what it installs: every section it names exists and
// every section is named, the device it matches is the virtual scanner
// (by the vendor and product of its device descriptor), and the files,
// the service and the property-page provider it names are the built ones
// in each Windows build's package folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pecheck.hpp"
#include "pnp/devnode.h"
#include "rtl/wide.h"
#include "usb/scanner_model.h"

namespace zt {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string> Split(const std::string& s, char separator) {
  std::vector<std::string> parts;
  std::string part;
  bool quoted = false;
  for (char c : s) {
    if (c == '"') quoted = !quoted;
    if (c == separator && !quoted) {
      parts.push_back(Trim(part));
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(Trim(part));
  return parts;
}

// An INF as sections of lines: a key (before '=', when there is one) and
// its comma-separated values, %strings% substituted and quotes dropped.
struct Line {
  std::string key;
  std::vector<std::string> values;
};

class Inf {
 public:
  explicit Inf(const std::string& text) {
    std::istringstream in(text);
    std::string section;
    for (std::string raw; std::getline(in, raw);) {
      std::string line;
      bool quoted = false;
      for (char c : raw) {
        if (c == '"') quoted = !quoted;
        if (c == ';' && !quoted) break;
        line += c;
      }
      line = Trim(line);
      if (line.empty()) continue;
      if (line.front() == '[') {
        section = Lower(line.substr(1, line.find(']') - 1));
        EXPECT_EQ(raw_.count(section), 0u) << "section [" << section << "] twice";
        raw_[section];
        continue;
      }
      Line entry;
      const size_t equals = line.find('=');
      const bool keyed = equals != std::string::npos && line.find('"') > equals;
      if (keyed) entry.key = Trim(line.substr(0, equals));
      entry.values = Split(keyed ? line.substr(equals + 1) : line, ',');
      raw_[section].push_back(entry);
    }
    for (const Line& s : raw_["strings"]) strings_[Lower(s.key)] = Unquote(s.values.at(0));
    for (auto& [name, lines] : raw_) {
      if (name == "strings") continue;
      for (Line& l : lines) {
        l.key = Expand(l.key);
        for (std::string& v : l.values) v = Unquote(Expand(v));
      }
    }
  }

  bool Has(const std::string& section) const { return raw_.count(Lower(section)) != 0; }
  const std::vector<Line>& Section(const std::string& section) {
    EXPECT_TRUE(Has(section)) << "no section [" << section << "]";
    named_.insert(Lower(section));
    return raw_[Lower(section)];
  }
  // The value of `key` in `section` (a list stays comma-separated).
  std::string Value(const std::string& section, const std::string& key) {
    for (const Line& l : Section(section)) {
      if (Lower(l.key) != Lower(key)) continue;
      std::string joined;
      for (const std::string& v : l.values) joined += (joined.empty() ? "" : ",") + v;
      return joined;
    }
    ADD_FAILURE() << "no " << key << " in [" << section << "]";
    return "";
  }
  std::vector<std::string> Unnamed() const {
    std::vector<std::string> unnamed;
    for (const auto& [name, lines] : raw_) {
      if (!named_.count(name)) unnamed.push_back(name);
    }
    return unnamed;
  }

 private:
  static std::string Unquote(const std::string& s) {
    return s.size() >= 2 && s.front() == '"' && s.back() == '"' ? s.substr(1, s.size() - 2) : s;
  }
  // %token% from [Strings]; %12% and the like (directory IDs) stay.
  std::string Expand(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
      const size_t end = s[i] == '%' ? s.find('%', i + 1) : std::string::npos;
      if (end == std::string::npos) {
        out += s[i];
        continue;
      }
      const std::string token = s.substr(i + 1, end - i - 1);
      const bool dirid = !token.empty() && std::all_of(token.begin(), token.end(), ::isdigit);
      EXPECT_TRUE(dirid || strings_.count(Lower(token))) << "%" << token << "% is in no [Strings]";
      out += dirid ? "%" + token + "%" : strings_[Lower(token)];
      i = end;
    }
    return out;
  }

  std::map<std::string, std::vector<Line>> raw_;
  std::map<std::string, std::string> strings_;
  std::set<std::string> named_;
};

std::string Read(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << "cannot read " << path << " (build the Windows presets first)";
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// USB\VID_xxxx&PID_xxxx from the virtual scanner's device descriptor.
std::string ScannerHardwareId() {
  const emu::ScannerModel model = emu::ScannerModel::Standard();
  const std::vector<UCHAR>& d = model.DeviceDescriptor();
  char id[32];
  std::snprintf(id, sizeof id, "USB\\VID_%02X%02X&PID_%02X%02X", d.at(9), d.at(8), d.at(11), d.at(10));
  return id;
}

TEST(Inf, InstallsTheBuiltDriverAndPageForTheScanner) {
  const std::string text = Read(ZENDRA_INF_FILE);
  Inf inf(text);

  inf.Section("Version");
  EXPECT_EQ(inf.Value("Version", "Signature"), "$WINDOWS NT$");
  EXPECT_EQ(inf.Value("Version", "Class"), "Ports");
  EXPECT_EQ(Lower(inf.Value("Version", "ClassGuid")), emu::ToUtf8(emu::DevNodes::kPortsClass));
  EXPECT_EQ(inf.Value("Version", "CatalogFile"), "zendra.cat");
  EXPECT_FALSE(inf.Value("Version", "Provider").empty());
  inf.Section("Strings");

  // Disks and files: every file copied comes from a disk the INF names.
  std::set<std::string> disks, sources;
  for (const Line& l : inf.Section("SourceDisksNames")) disks.insert(l.key);
  for (const Line& l : inf.Section("SourceDisksFiles")) {
    EXPECT_TRUE(disks.count(l.values.at(0))) << l.key;
    sources.insert(l.key);
  }
  std::map<std::string, std::string> destinations;  // copy section -> directory ID
  for (const Line& l : inf.Section("DestinationDirs")) destinations[Lower(l.key)] = l.values.at(0);

  // One models section per architecture, each matching the scanner.
  const auto manufacturer = inf.Section("Manufacturer");
  ASSERT_EQ(manufacturer.size(), 1u);
  const auto& models = manufacturer[0].values;
  EXPECT_EQ(std::set<std::string>(models.begin() + 1, models.end()), (std::set<std::string>{"NTx86", "NTamd64"}));
  std::set<std::string> installs;
  for (size_t i = 1; i < models.size(); ++i) {
    for (const Line& l : inf.Section(models[0] + "." + models[i])) {
      EXPECT_EQ(l.key, "Corvane KX410 Scanner");
      EXPECT_EQ(l.values.at(1), ScannerHardwareId());
      installs.insert(l.values.at(0));
    }
  }
  ASSERT_EQ(installs.size(), 1u);
  const std::string install = *installs.begin() + ".NT";

  // What the install section copies, and where.
  std::map<std::string, std::string> copied;  // file -> directory ID
  for (const std::string& section : Split(inf.Value(install, "CopyFiles"), ',')) {
    ASSERT_TRUE(destinations.count(Lower(section))) << section << " has no destination";
    for (const Line& l : inf.Section(section)) {
      EXPECT_TRUE(sources.count(l.values.at(0))) << l.values.at(0) << " is on no disk";
      copied[l.values.at(0)] = destinations[Lower(section)];
    }
  }
  EXPECT_EQ(copied, (std::map<std::string, std::string>{{"zendra.sys", "12"}, {"zendraprops.dll", "11"}}));

  // The property-page provider: a DLL copied to the system folder, and the
  // routine it exports.
  std::string provider;
  for (const Line& l : inf.Section(inf.Value(install, "AddReg"))) {
    // HKR, subkey, value name, flags, data
    if (l.values.at(2) == "EnumPropPages32") provider = l.values.at(4);
  }
  const auto page = Split(provider, ',');
  ASSERT_EQ(page.size(), 2u) << provider;
  EXPECT_EQ(copied[page[0]], "11");

  // The service: the driver, a kernel driver started on demand, associated
  // with the device.
  const auto services = inf.Section(install + ".Services");
  ASSERT_EQ(services.size(), 1u);
  EXPECT_EQ(services[0].values.at(0), "zendra");
  EXPECT_EQ(std::stoul(services[0].values.at(1), nullptr, 0) & 2, 2u);
  const std::string service = services[0].values.at(2);
  EXPECT_EQ(inf.Value(service, "ServiceType"), "1");
  EXPECT_EQ(inf.Value(service, "StartType"), "3");
  inf.Value(service, "DisplayName");
  inf.Value(service, "ErrorControl");
  const std::string binary = inf.Value(service, "ServiceBinary");
  ASSERT_EQ(binary.rfind("%12%\\", 0), 0u) << binary;
  EXPECT_EQ(copied[binary.substr(5)], "12");

  EXPECT_EQ(inf.Unnamed(), std::vector<std::string>{}) << "sections nothing names";

  // Each Windows build's folder is a package: this INF beside the files it
  // names, the driver image the service runs and the DLL exporting the
  // provider, each for its architecture.
  for (const char* built : {ZENDRA_WINDOWS_X86_SYS, ZENDRA_WINDOWS_X64_SYS}) {
    const std::filesystem::path folder = std::filesystem::path(built).parent_path();
    SCOPED_TRACE(folder.string());
    EXPECT_EQ(Read(folder / "zendra.inf"), text);
    const bool x86 = folder.filename() == "windows-x86";
    auto image = [&](const std::string& file) {
      const std::string bytes = Read(folder / file);
      return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    };
    for (const auto& [file, directory] : copied) EXPECT_TRUE(std::filesystem::exists(folder / file)) << file;
    pecheck::Options driver;
    driver.machine = x86 ? pecheck::Machine::i386 : pecheck::Machine::amd64;
    driver.allowed_imports = {"ntoskrnl.exe", "HAL.dll", "USBD.SYS"};
    EXPECT_EQ(pecheck::check_image(image(binary.substr(5)), driver).failures(), 0u);
    pecheck::Options dll = driver;
    dll.kind = pecheck::Kind::dll;
    dll.allowed_imports = {};
    dll.exports = {page[1]};
    const auto report = pecheck::check_image(image(page[0]), dll);
    EXPECT_TRUE(report.passed("exports") && report.passed("machine") && report.passed("subsystem"));
  }
}

}  // namespace
}  // namespace zt
