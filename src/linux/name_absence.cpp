#include "linux/name_absence.h"

#include <arpa/nameser.h>
#include <netdb.h>
#include <resolv.h>

#include <algorithm>
#include <vector>

namespace korvane {
namespace {

// The names the resolver tries for a name, in its order: a name with a final
// dot as it stands; else the name as given first when it has at least ndots
// dots, the name in each search domain, and the name as given last when it
// has fewer.
std::vector<std::string> NamesTried(const std::string& name, const struct __res_state& state) {
  if (!name.empty() && name.back() == '.') return {name};
  const auto dots = static_cast<unsigned>(std::count(name.begin(), name.end(), '.'));
  std::vector<std::string> names;
  if (dots >= state.ndots) names.push_back(name);
  if ((dots == 0 && (state.options & RES_DEFNAMES)) || (dots > 0 && (state.options & RES_DNSRCH))) {
    for (char* const* domain = state.dnsrch; *domain; ++domain)
      names.push_back(name + "." + *domain);
  }
  if (dots < state.ndots) names.push_back(name);
  return names;
}

}  // namespace

bool EveryNameTriedIsAbsent(const std::string& name, std::chrono::steady_clock::time_point giveUpAt) {
  // "struct": the C library has a function of the same name.
  struct __res_state state {};
  if (res_ninit(&state) != 0) return false;
  state.retry = 1;  // each server once
  bool absent = true;
  unsigned char answer[NS_PACKETSZ];
  for (const std::string& tried : NamesTried(name, state)) {
    if (std::chrono::steady_clock::now() >= giveUpAt ||
        res_nquery(&state, tried.c_str(), ns_c_in, ns_t_a, answer, sizeof answer) >= 0 ||
        state.res_h_errno != HOST_NOT_FOUND) {
      absent = false;
      break;
    }
  }
  res_nclose(&state);
  return absent;
}

}  // namespace korvane
