#include "broker/server_descriptor.hpp"

#include "core/text_fields.hpp"

namespace vantor {

namespace {

// Removes one character, given as its UTF-8 encoding, wherever it stands.
void RemoveAll(std::string& text, std::string_view encoded) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, encoded.size(), encoded) == 0) {
      i += encoded.size();
    } else {
      out += text[i++];
    }
  }
  text.swap(out);
}

}  // namespace

void CleanPlainRequest(std::string& text) {
  // Most requests hold no no-break space; they pass without a copy.
  if (text.find("\xC2\xA0") != std::string::npos) RemoveAll(text, "\xC2\xA0");
}

void CleanTlsRequest(std::string& text) {
  const std::string_view trimmed = TrimSpaces(text);
  if (trimmed.size() != text.size()) text = std::string(trimmed);
  if (text.find("\xC3\x82") != std::string::npos) RemoveAll(text, "\xC3\x82");  // U+00C2
  if (text.find("\xC2\xA0") != std::string::npos) RemoveAll(text, "\xC2\xA0");  // U+00A0
}

}  // namespace vantor
