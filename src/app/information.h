#pragma once
// What korvane prints when asked for it, instead of a run.
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// For an argument text that is exactly "--help" or "-h", the usage; exactly
// "--version" or "-V", "korvane VERSION"; trailing blanks and tabs aside. Lines end in "\n". For any other
// text, nothing: it is a run's command line (so "-5" stays a threshold).
std::optional<std::string> InformationText(std::string_view arguments, std::string_view version);

}  // namespace korvane
