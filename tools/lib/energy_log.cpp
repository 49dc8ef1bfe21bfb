// Parsing the iteration log that the reconstruction appends to (normerror.txt).
#include <sstream>

#include "report.h"

std::vector<EnergyStep> parse_energy_log(const std::string& text) {
  std::vector<EnergyStep> steps;
  std::istringstream in(text);
  std::string line;
  int outer = 0;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("---", 0) == 0) {  // a new run starts
      steps.clear();
      outer = 0;
      continue;
    }
    std::vector<std::string> f;
    std::istringstream fields(line);
    std::string t;
    while (std::getline(fields, t, '\t'))
      if (!t.empty()) f.push_back(t);
    auto number = [](const std::string& s, double& v) {
      char* end = nullptr;
      v = std::strtod(s.c_str(), &end);
      return end != s.c_str() && *end == '\0';
    };
    double a = 0, b = 0, c = 0, k = 0;
    if (f.size() == 2 && f[0] == "ite" && number(f[1], a)) {
      outer = static_cast<int>(a);
    } else if (f.size() == 6 && f[2] == "E_SR" && f[4] == "Regular" && number(f[0], k) &&
               number(f[1], a) && number(f[3], b) && number(f[5], c)) {
      EnergyStep s;
      s.outer = outer;
      s.step = static_cast<int>(k);
      s.error = a;
      s.energy = b;
      s.regular = c;
      steps.push_back(s);
    }
  }
  return steps;
}
