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
// dots, then the name in each search domain (only the first without
// RES_DNSRCH; a root domain, "." or empty, is the name as given), then the
// name as given when it was not tried yet, unless no-tld-query keeps a
// searched name without dots from it.
std::vector<std::string> NamesTried(const std::string& name, const struct __res_state& state) {
  if (!name.empty() && name.back() == '.') return {name};
  const auto dots = static_cast<unsigned>(std::count(name.begin(), name.end(), '.'));
  std::vector<std::string> names;
  bool triedAsGiven = false, searched = false;
  if (dots >= state.ndots) {
    names.push_back(name);
    triedAsGiven = true;
  }
  if ((dots == 0 && (state.options & RES_DEFNAMES)) || (dots > 0 && (state.options & RES_DNSRCH))) {
    for (char* const* domain = state.dnsrch; *domain; ++domain) {
      searched = true;
      std::string suffix = *domain;
      if (!suffix.empty() && suffix.front() == '.') suffix.erase(0, 1);
      if (suffix.empty()) triedAsGiven = true;
      names.push_back(suffix.empty() ? name : name + "." + suffix);
      if (!(state.options & RES_DNSRCH)) break;
    }
  }
  if (!triedAsGiven && (dots > 0 || !searched || !(state.options & RES_NOTLDQUERY))) names.push_back(name);
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
  const int servers = state.nscount;
  for (const std::string& tried : NamesTried(name, state)) {
    // A query asks each server for up to `retrans` seconds: only as many of
    // the first servers as fit in the time left are asked, none when none fits.
    const auto left =
        std::chrono::duration_cast<std::chrono::seconds>(giveUpAt - std::chrono::steady_clock::now());
    state.nscount = std::min<int>(servers, static_cast<int>(left.count() / std::max(state.retrans, 1)));
    if (state.nscount < 1 || res_nquery(&state, tried.c_str(), ns_c_in, ns_t_a, answer, sizeof answer) >= 0 ||
        state.res_h_errno != HOST_NOT_FOUND) {
      absent = false;
      break;
    }
  }
  state.nscount = servers;
  res_nclose(&state);
  return absent;
}

}  // namespace korvane
