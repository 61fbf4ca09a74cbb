#include "core/run_state.h"

#include "core/runtime_error.h"

namespace korvane {

HostEntry& HostTable::operator()(std::int16_t index) {
  if (index < 1 || index > kMaxHosts) {
    throw RuntimeError(ErrorNumber::IndexOutsideTable, "host index outside 1..10");
  }
  return entries_[static_cast<std::size_t>(index - 1)];
}

const HostEntry& HostTable::operator()(std::int16_t index) const {
  return const_cast<HostTable&>(*this)(index);
}

}  // namespace korvane
