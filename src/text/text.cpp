#include "text/text.h"

namespace korvane {

std::size_t Utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  for (unsigned char byte : utf8) {
    if ((byte & 0xC0) == 0x80) continue;  // continuation byte
    units += (byte >= 0xF0) ? 2 : 1;      // four-byte sequences need a surrogate pair
  }
  return units;
}

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 if invalid.
std::size_t ValidSequenceLength(std::string_view text, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = at(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (at(i + 1) < low || at(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::string ToValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length = ValidSequenceLength(bytes, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(bytes.substr(i, length));
      i += length;
    }
  }
  return out;
}

namespace {

void AppendEscape(std::string& out, const char* prefix, unsigned value) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += prefix;
  out += kHex[(value >> 4) & 0xF];
  out += kHex[value & 0xF];
}

}  // namespace

std::string EscapeControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = ValidSequenceLength(text, i);
    const std::size_t step = length == 0 ? 1 : length;
    if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\n') {
      out += "\\n";
    } else if ((byte < 0x20 && byte != '\t') || byte == 0x7F ||
               (length == 0 && byte >= 0x80 && byte <= 0x9F)) {
      AppendEscape(out, "\\x", byte);
    } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      AppendEscape(out, "\\u00", static_cast<unsigned char>(text[i + 1]));  // U+0080..U+009F
    } else {
      out.append(text.substr(i, step));
    }
    i += step;
  }
  return out;
}

}  // namespace korvane
