#pragma once
// The bodies of the generate reply, built from what the writer reports it
// wrote; shared by POST /generate, `generate` and `pack`. Plain functions,
// called from any thread.
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "pack/TavloPackWriter.hpp"

namespace tavlo {

// {"ok": true, "reply", "pack_name", "pack_path", "summary", "model", "files"};
// "files" holds every UTF-8 file the writer wrote (moved out of `written`).
nlohmann::json packSuccessReply(TavloPackWriter::WrittenPack written, const std::string& modelID);

// "📦 Pack '<name>' written.\n\n<summary>\n\nOpen Tavlo → Packs to apply."
std::string packSuccessText(std::string_view name, std::string_view summary);

// {"ok": false, "reply": "⚠️ <provider label> failed: <message>"}
nlohmann::json failureReply(std::string_view providerLabel, std::string_view message);

}  // namespace tavlo
