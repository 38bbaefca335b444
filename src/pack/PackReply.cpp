#include "pack/PackReply.hpp"

#include "text/UnicodeText.hpp"

namespace tavlo {

std::string packSuccessText(std::string_view name, std::string_view summary) {
  std::string text = "\xF0\x9F\x93\xA6 Pack '";
  text += name;
  text += "' written.\n\n";
  text += summary;
  text += "\n\nOpen Tavlo \xE2\x86\x92 Packs to apply.";
  return text;
}

nlohmann::json packSuccessReply(TavloPackWriter::WrittenPack written, const std::string& modelID) {
  // Only text goes into JSON: a file that is not UTF-8 is left out.
  nlohmann::json files = nlohmann::json::object();
  for (auto& [path, bytes] : written.files)
    if (isValidUTF8(bytes)) files[path] = std::move(bytes);
  return {{"ok", true},
          {"reply", packSuccessText(written.name, written.summary)},
          {"pack_name", written.name},
          {"pack_path", written.path.string()},
          {"summary", written.summary},
          {"model", modelID},
          {"files", std::move(files)}};
}

nlohmann::json failureReply(std::string_view providerLabel, std::string_view message) {
  std::string text = "\xE2\x9A\xA0\xEF\xB8\x8F ";
  text += providerLabel;
  text += " failed: ";
  text += message;
  return {{"ok", false}, {"reply", std::move(text)}};
}

}  // namespace tavlo
