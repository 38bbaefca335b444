#include <gtest/gtest.h>

#include <chrono>
#include <system_error>

#include "PackTestSupport.hpp"
#include "pack/PackFolder.hpp"
#include "pack/PackReply.hpp"
#include "pack/TavloPackWriter.hpp"

namespace tavlo::TavloPackWriter {
namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;
using namespace tavlo::testing;
using Paths = std::vector<std::string>;

const auto kMoment = std::chrono::system_clock::from_time_t(1796499862);  // 2026-12-05T19:44:22Z
const Clock kClock = [] { return kMoment; };
const std::string kStamp = localTimeStamp(kMoment);

// The what() of the exception of type E that `f` throws.
template <class E, class F>
std::string errorOf(F f) {
  try { f(); } catch (const E& e) { return e.what(); }
  ADD_FAILURE() << "nothing thrown";
  return {};
}

struct Writer : ::testing::Test {
  Result write(const json& document, std::string_view prompt = "Make a Dark-Mode toggle!") {
    return writePack("Here you go:\n```json\n" + document.dump() + "\n```\n", prompt, "ollama:llama3", dir.path(), kClock);
  }
  static json manifest(const Result& r) { return json::parse(readFile(r.path / "manifest.json")); }
  static Paths artifactPaths(const Result& r) {
    Paths paths;
    for (const json m = manifest(r); const auto& a : m["artifacts"]) paths.push_back(a["path"]);
    return paths;
  }
  testing::TempDir dir;
};

TEST_F(Writer, WritesTheWholePackInOrder) {
  const Result r = write({{"name", "Dark Mode Toggle"}, {"summary", "Two things"},
                          {"keyboard_buttons", {{{"label", "Dark"}, {"text", "dark please"}}, {{"kind", "newline"}}}},
                          {"userscripts", {{{"filename", "dark.js"}, {"description", "Adds a toggle"}, {"body", "run();\n"}}}},
                          {"python_recipes", {{{"body", "print(1)\n"}}}}});
  const std::string name = "dark-mode-toggle-" + kStamp;
  EXPECT_EQ(std::make_tuple(r.name, r.path, r.summary), std::make_tuple(name, dir.path() / name, std::string("Two things")));
  const auto files = readPackFiles(r.path);
  EXPECT_EQ(files.size(), 4u);
  EXPECT_EQ(json::parse(files.at("keyboard-pack.json")),
            json({{"name", name}, {"version", 1}, {"buttons", {{{"label", "Dark"}, {"kind", "snippet"}, {"text", "dark please"}}}}}));
  EXPECT_EQ(files.at("userscripts/dark.user.js"),
            "// ==UserScript==\n// @name        " + name +
                "\n// @namespace   tavlo.quillet\n// @match       *://*/*\n// @run-at      document-idle\n"
                "// @grant       none\n// @version     0.1.0\n// @description Adds a toggle\n// ==/UserScript==\nrun();\n");
  EXPECT_EQ(files.at("python/" + name + ".py"), "print(1)\n");
  EXPECT_EQ(manifest(r), json({{"name", name}, {"version", "0.1.0"}, {"createdAt", "2026-12-05T19:44:22Z"},
                               {"summary", "Two things"}, {"prompt", "Make a Dark-Mode toggle!"}, {"model", "ollama:llama3"},
                               {"artifacts",
                                {{{"kind", "keyboard"}, {"path", "keyboard-pack.json"}, {"summary", "2 buttons"}},
                                 {{"kind", "userscript"}, {"path", "userscripts/dark.user.js"}, {"summary", "Adds a toggle"}},
                                 {{"kind", "python"}, {"path", "python/" + name + ".py"}, {"summary", ""}}}}}));
  const std::string text = files.at("manifest.json");  // pretty-printed, keys sorted
  EXPECT_TRUE(text.starts_with("{\n  \"artifacts\": [\n    {\n      \"kind\": \"keyboard\",\n")) << text;
  EXPECT_LT(text.find("\"createdAt\""), text.find("\"model\""));
}

TEST_F(Writer, DefaultsAndEntriesThatAreSkipped) {
  // Name and summary from the prompt; an empty name gives "pack", an empty summary stays.
  const std::string prompt = "Please make me a thing that does " + std::string(80, 'z');
  const Result r = write(json::object(), prompt);
  EXPECT_EQ(r.name, "please-make-me-a-thing-that-does-" + kStamp);
  EXPECT_EQ(r.summary, "Generated from: " + prompt.substr(0, 60));
  EXPECT_EQ(readPackFiles(r.path).size(), 1u);
  const json m = manifest(r);
  EXPECT_TRUE(m["artifacts"] == json::array() && m["summary"] == r.summary && m["prompt"] == prompt) << m;
  const Result empty = write({{"name", ""}, {"summary", ""}}, prompt);
  EXPECT_EQ(std::make_pair(empty.name, empty.summary), std::make_pair("pack-" + kStamp, std::string()));
  // A prompt without ASCII letters gives "pack" too; wrong types count as missing, and so does
  // a list with one element that is not an object.
  const Result typed = write({{"name", 7}, {"summary", {1}}, {"keyboard_buttons", {{{"label", "a"}}, "b"}},
                              {"userscripts", {{"body", "x"}}}, {"python_recipes", {{{"body", 1}}}}},
                             "\xE2\x9C\xA8\xE2\x9C\xA8");
  EXPECT_EQ(std::make_pair(typed.name, typed.summary),
            std::make_pair("pack-" + kStamp, std::string("Generated from: \xE2\x9C\xA8\xE2\x9C\xA8")));
  EXPECT_EQ(readPackFiles(typed.path).size(), 1u);
  EXPECT_FALSE(fs::exists(write({{"name", "k1"}, {"keyboard_buttons", json::array()}}).path / "keyboard-pack.json"));
  // Buttons without a string label are dropped, yet counted in the summary. A script without
  // a body is skipped; the same file twice: the later wins, listed twice.
  const Result scripts = write({{"name", "k4"}, {"keyboard_buttons", {{{"kind", "a"}}, {{"text", "b"}}, {{"label", 3}}}},
                                {"userscripts", {{{"description", "no body"}}, {{"filename", "same.js"}, {"body", "1"}},
                                                 {{"filename", "same.user.js"}, {"body", "2"}},
                                                 {{"filename", "tools/x.user.js"}, {"body", "3"}}}},
                                {"python_recipes", {{{"filename", "noext"}, {"body", "4"}}}}});
  const auto files = readPackFiles(scripts.path);
  EXPECT_EQ(json::parse(files.at("keyboard-pack.json"))["buttons"], json::array());
  EXPECT_EQ(manifest(scripts)["artifacts"][0]["summary"], "3 buttons");
  EXPECT_TRUE(files.at("userscripts/same.user.js").ends_with("==/UserScript==\n2"));
  EXPECT_TRUE(files.count("userscripts/tools/x.user.js"));
  EXPECT_EQ(files.at("python/noext"), "4");
  EXPECT_EQ(artifactPaths(scripts), (Paths{"keyboard-pack.json", "userscripts/same.user.js", "userscripts/same.user.js",
                                           "userscripts/tools/x.user.js", "python/noext"}));
}

TEST_F(Writer, ReplacesWhatStandsAtThePackFolder) {
  const Result first = write({{"name", "same"}, {"python_recipes", {{{"filename", "a.py"}, {"body", "a"}}}}});
  const Result second = write({{"name", "same"}, {"python_recipes", {{{"filename", "b.py"}, {"body", "b"}}}}});
  EXPECT_EQ(first.path, second.path);
  EXPECT_EQ(readPackFiles(second.path).count("python/a.py"), 0u);
  EXPECT_EQ(readPackFiles(second.path).count("python/b.py"), 1u);
  fs::remove_all(second.path);
  writeFile(second.path, "a file in the way");
  EXPECT_TRUE(fs::is_directory(write({{"name", "same"}}).path));
}

TEST_F(Writer, FailuresNameTheCause) {
  // No document: the staging folder exists, nothing else was written.
  const fs::path staging = dir.path() / "new" / "staging";
  EXPECT_EQ(errorOf<PackError>([&] { writePack("no json here", "p", "m", staging, kClock); }),
            "Model output did not contain JSON: no json here");
  EXPECT_TRUE(fs::is_directory(staging) && fs::is_empty(staging));
  writeFile(dir.path() / "plain", "x");
  EXPECT_EQ(errorOf<std::system_error>([&] { writePack("{}", "p", "m", dir.path() / "plain" / "staging", kClock); }),
            "could not create folder " + (dir.path() / "plain" / "staging").string() + ": Not a directory");
  // A later file that cannot be written: the earlier files stay, no manifest.
  const std::string clash = errorOf<std::system_error>([&] {
    write({{"name", "clash"}, {"python_recipes", {{{"filename", "x"}, {"body", "file"}}, {{"filename", "x/y"}, {"body", "n"}}}}});
  });
  EXPECT_TRUE(clash.starts_with("could not create folder ") && clash.ends_with("/python/x: File exists")) << clash;
  EXPECT_EQ(readPackFiles(dir.path() / ("clash-" + kStamp)), (std::map<std::string, std::string>{{"python/x", "file"}}));
}

TEST_F(Writer, FileNamesFromTheModelStayInsideTheirFolder) {
  json scripts = json::array(), recipes = json::array();
  for (const char* f : {"../../.bashrc", "/", ".."}) scripts.push_back({{"filename", f}, {"body", std::string("b") + f}});
  for (const char* f : {"/etc/passwd", "a//b", "..", ""}) recipes.push_back({{"filename", f}, {"body", std::string("b") + f}});
  const Result r = write({{"name", "escape"}, {"userscripts", scripts}, {"python_recipes", recipes}});
  const std::string own = "python/" + r.name + ".py";
  const Paths paths = artifactPaths(r);
  EXPECT_EQ(paths, (Paths{"userscripts/.bashrc.user.js", "userscripts/.user.js", "userscripts/...user.js", "python/etc/passwd",
                          "python/a/b", own, own}));
  const auto files = readPackFiles(r.path);
  for (const auto& p : paths) EXPECT_TRUE(files.count(p)) << p;
  EXPECT_EQ(files.size(), 7u);  // the six above and the manifest
  EXPECT_EQ(files.at(own), "b");
  // Nothing escaped into the staging folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  // A path too long for the system is an error, not an endless tree of folders.
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "a/";
  EXPECT_THROW(write({{"name", "deep"}, {"python_recipes", {{{"filename", deep + "x"}, {"body", "p"}}}}}), std::system_error);
}

TEST_F(Writer, SymbolicLinksAreRemovedNeverFollowed) {
  testing::TempDir outside;
  writeFile(outside.path() / "keep.txt", "precious");
  // A link standing where the pack folder goes.
  fs::create_directory_symlink(outside.path(), dir.path() / ("linked-" + kStamp));
  const Result r = write({{"name", "linked"}, {"python_recipes", {{{"filename", "keep.txt"}, {"body", "overwritten?"}}}}});
  EXPECT_FALSE(fs::is_symlink(r.path));
  EXPECT_EQ(readFile(r.path / "python/keep.txt"), "overwritten?");
  EXPECT_EQ(readFile(outside.path() / "keep.txt"), "precious");
  fs::create_directory_symlink(outside.path(), dir.path() / "alias");
  EXPECT_THROW(PackFolder::openNoFollow(dir.path() / "alias"), std::system_error);
  EXPECT_TRUE(readPackFiles(dir.path() / "alias").empty() && readPackFiles(dir.path() / "missing").empty());
  // Inside a pack folder a folder link is replaced by a folder, a file link by the file.
  const fs::path manual = dir.path() / "manual";
  fs::create_directory(manual);
  fs::create_directory_symlink(outside.path(), manual / "userscripts");
  fs::create_symlink(outside.path() / "keep.txt", manual / "manifest.json");
  PackFolder folder = PackFolder::openNoFollow(manual);
  folder.subfolder("userscripts").writeFileAtomically("keep.txt", "new");
  folder.writeFileAtomically("manifest.json", "{}");
  EXPECT_FALSE(fs::is_symlink(manual / "userscripts") || fs::is_symlink(manual / "manifest.json"));
  EXPECT_EQ(readFile(outside.path() / "keep.txt"), "precious");
  // Reading a pack back takes regular UTF-8 files only, never through a link.
  fs::create_symlink(outside.path() / "keep.txt", manual / "link");
  fs::create_directory_symlink(outside.path(), manual / "python");
  writeFile(manual / ".latin1", "caf\xE9");
  EXPECT_EQ(readPackFiles(manual),
            (std::map<std::string, std::string>{{"manifest.json", "{}"}, {"userscripts/keep.txt", "new"}}));
}

TEST_F(Writer, ManyScriptsAndHostileValues) {
  json scripts = json::array();
  for (int i = 0; i < 10000; ++i) scripts.push_back({{"filename", "s" + std::to_string(i % 100)}, {"body", "x"}});
  std::string emoji;
  for (int i = 0; i < 5000; ++i) emoji += "\xF0\x9F\x98\x80";
  const Result r = write({{"name", emoji}, {"userscripts", scripts}, {"keyboard_buttons", {{{"label", {1, 2}}}}}});
  EXPECT_EQ(r.name, "pack-" + kStamp);
  EXPECT_EQ(readPackFiles(r.path).size(), 102u);  // 100 scripts, the keyboard file, the manifest
  EXPECT_EQ(manifest(r)["artifacts"].size(), 10001u);
}

}  // namespace
}  // namespace tavlo::TavloPackWriter
