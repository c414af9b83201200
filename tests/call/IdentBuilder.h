// Builds doubled "Ident=" lines field by field, the way a well-behaved office writes them.
// Positions nobody reads hold '#', so a field read one place off shows it.
#pragma once

#include <cstdio>
#include <string>

namespace marvolen::test {

struct IdentBuilder {
  std::string office = "00007", traffic = "T", kind = "T", feature = "1";
  std::string password = "GALERNA", program = "P123", device = "KEY00042";
  std::string version = "V04.11.05   ", number = "NRO000000001";
  std::string files;  // 22 characters per entry

  // A name right-aligned in 12 characters and its value in 10, as offices write them.
  IdentBuilder& File(const std::string& name, long long value) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%12s%10lld", name.c_str(), value);
    files += entry;
    return *this;
  }
  std::string Half() const {
    std::string h = "Ident=" + office + traffic + kind;
    for (size_t i = 0; i < 5; ++i) {
      char group[8];
      std::snprintf(group, sizeof group, "%03u",
                    i < password.size() ? static_cast<unsigned char>(password[i]) : 32u);
      h += group;
    }
    h += feature + program + "#" + device + "#" + version + number;
    const bool tab = kind == "S" || kind == "s" || kind == "N" || kind == "n";
    h.resize(tab ? 66 : 98, '#');
    return h + "#" + files;  // the entries start one place after the header
  }
  std::string Line() const { return Half() + Half(); }
};

}  // namespace marvolen::test
