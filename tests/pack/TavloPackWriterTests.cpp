#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <system_error>

#include "PackTestSupport.hpp"
#include "pack/PackFolder.hpp"
#include "pack/PackReply.hpp"
#include "pack/TavloPackWriter.hpp"

namespace tavlo::TavloPackWriter {
namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;
using tavlo::testing::readFile;
using tavlo::testing::TempDir;
using tavlo::testing::writeFile;

// 2026-12-05T19:44:22Z
const auto kMoment = std::chrono::system_clock::from_time_t(1796499862);
const Clock kClock = [] { return kMoment; };

std::string stamp() { return localTimeStamp(kMoment); }

class Writer : public ::testing::Test {
 protected:
  Result write(const json& document, std::string_view prompt = "Make a Dark-Mode toggle!") {
    return writePack("Here you go:\n```json\n" + document.dump() + "\n```\n", prompt, "ollama:llama3", dir.path(), kClock);
  }
  json readJSON(const fs::path& p) { return json::parse(readFile(p)); }

  TempDir dir;
};

TEST_F(Writer, WritesTheWholePackInOrder) {
  const json doc = {
      {"name", "Dark Mode Toggle"},
      {"summary", "Two things"},
      {"keyboard_buttons", {{{"label", "Dark"}, {"text", "dark please"}}, {{"kind", "newline"}}}},
      {"userscripts", {{{"filename", "dark.js"}, {"description", "Adds a toggle"}, {"body", "run();\n"}}}},
      {"python_recipes", {{{"body", "print(1)\n"}}}},
  };
  const Result r = write(doc);
  const std::string name = "dark-mode-toggle-" + stamp();
  EXPECT_EQ(r.name, name);
  EXPECT_EQ(r.path, dir.path() / name);
  EXPECT_EQ(r.summary, "Two things");

  const auto files = readPackFiles(r.path);
  std::vector<std::string> keys;
  for (const auto& [k, v] : files) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"keyboard-pack.json", "manifest.json", "python/" + name + ".py",
                                            "userscripts/dark.user.js"}));

  EXPECT_EQ(readJSON(r.path / "keyboard-pack.json"),
            json({{"name", name}, {"version", 1}, {"buttons", {{{"label", "Dark"}, {"kind", "snippet"}, {"text", "dark please"}}}}}));
  EXPECT_EQ(files.at("userscripts/dark.user.js"),
            "// ==UserScript==\n// @name        " + name +
                "\n// @namespace   tavlo.quillet\n// @match       *://*/*\n// @run-at      document-idle\n"
                "// @grant       none\n// @version     0.1.0\n// @description Adds a toggle\n// ==/UserScript==\nrun();\n");
  EXPECT_EQ(files.at("python/" + name + ".py"), "print(1)\n");

  const json manifest = readJSON(r.path / "manifest.json");
  EXPECT_EQ(manifest, json({{"name", name},
                            {"version", "0.1.0"},
                            {"createdAt", "2026-12-05T19:44:22Z"},
                            {"summary", "Two things"},
                            {"prompt", "Make a Dark-Mode toggle!"},
                            {"model", "ollama:llama3"},
                            {"artifacts",
                             {{{"kind", "keyboard"}, {"path", "keyboard-pack.json"}, {"summary", "2 buttons"}},
                              {{"kind", "userscript"}, {"path", "userscripts/dark.user.js"}, {"summary", "Adds a toggle"}},
                              {{"kind", "python"}, {"path", "python/" + name + ".py"}, {"summary", ""}}}}}));
  // Pretty-printed, keys sorted.
  const std::string text = readFile(r.path / "manifest.json");
  EXPECT_NE(text.find("\n  \"artifacts\""), std::string::npos);
  EXPECT_LT(text.find("\"createdAt\""), text.find("\"model\""));
}

TEST_F(Writer, DefaultsForAnEmptyDocument) {
  const std::string prompt = "Please make me a thing that does " + std::string(80, 'z');
  const Result r = write(json::object(), prompt);
  EXPECT_EQ(r.name, "please-make-me-a-thing-that-does-" + stamp());
  EXPECT_EQ(r.summary, "Generated from: " + prompt.substr(0, 60));
  const auto files = readPackFiles(r.path);
  ASSERT_EQ(files.size(), 1u);
  const json manifest = json::parse(files.at("manifest.json"));
  EXPECT_EQ(manifest["artifacts"], json::array());
  EXPECT_EQ(manifest["summary"], r.summary);
  EXPECT_EQ(manifest["prompt"], prompt);

  // An empty name is not missing: it gives "pack"; an empty summary stays empty.
  const Result empty = write({{"name", ""}, {"summary", ""}}, prompt);
  EXPECT_EQ(empty.name, "pack-" + stamp());
  EXPECT_EQ(empty.summary, "");
  // A prompt without ASCII letters gives "pack" too; wrong types count as missing.
  const Result typed = write({{"name", 7}, {"summary", {1}}, {"keyboard_buttons", "x"}, {"userscripts", {{"body", "x"}}}},
                             "\xE2\x9C\xA8\xE2\x9C\xA8");
  EXPECT_EQ(typed.name, "pack-" + stamp());
  EXPECT_EQ(typed.summary, "Generated from: \xE2\x9C\xA8\xE2\x9C\xA8");
  EXPECT_EQ(readPackFiles(typed.path).size(), 1u);
}

TEST_F(Writer, KeyboardListsAndSkippedEntries) {
  const Result none = write({{"name", "k1"}, {"keyboard_buttons", json::array()}});
  EXPECT_FALSE(fs::exists(none.path / "keyboard-pack.json"));

  const Result unlabeled = write({{"name", "k2"}, {"keyboard_buttons", {{{"kind", "a"}}, {{"text", "b"}}, {{"label", 3}}}}});
  const json keyboard = readJSON(unlabeled.path / "keyboard-pack.json");
  EXPECT_EQ(keyboard["buttons"], json::array());
  EXPECT_EQ(readJSON(unlabeled.path / "manifest.json")["artifacts"][0]["summary"], "3 buttons");

  const Result mixed = write({{"name", "k3"}, {"keyboard_buttons", {{{"label", "a"}}, "b"}}, {"python_recipes", {{{"body", 1}}}}});
  EXPECT_EQ(readPackFiles(mixed.path).size(), 1u);

  const Result scripts = write({{"name", "k4"},
                                {"userscripts",
                                 {{{"description", "no body"}},
                                  {{"filename", "same.js"}, {"body", "1"}},
                                  {{"filename", "same.user.js"}, {"body", "2"}},
                                  {{"filename", "tools/x.user.js"}, {"body", "3"}}}},
                                {"python_recipes", {{{"filename", "noext"}, {"body", "4"}}}}});
  const auto files = readPackFiles(scripts.path);
  EXPECT_TRUE(files.at("userscripts/same.user.js").ends_with("==/UserScript==\n2"));
  EXPECT_TRUE(files.count("userscripts/tools/x.user.js"));
  EXPECT_EQ(files.at("python/noext"), "4");
  const json artifacts = readJSON(scripts.path / "manifest.json")["artifacts"];
  ASSERT_EQ(artifacts.size(), 4u);
  EXPECT_EQ(artifacts[0]["path"], "userscripts/same.user.js");
  EXPECT_EQ(artifacts[1]["path"], "userscripts/same.user.js");
  EXPECT_EQ(artifacts[2]["path"], "userscripts/tools/x.user.js");
  EXPECT_EQ(artifacts[3]["path"], "python/noext");
}

TEST_F(Writer, ReplacesWhatStandsAtThePackFolder) {
  const Result first = write({{"name", "same"}, {"python_recipes", {{{"filename", "a.py"}, {"body", "a"}}}}});
  const Result second = write({{"name", "same"}, {"python_recipes", {{{"filename", "b.py"}, {"body", "b"}}}}});
  EXPECT_EQ(first.path, second.path);
  EXPECT_FALSE(fs::exists(second.path / "python/a.py"));
  EXPECT_TRUE(fs::exists(second.path / "python/b.py"));

  fs::remove_all(second.path);
  writeFile(second.path, "a file in the way");
  const Result third = write({{"name", "same"}});
  EXPECT_TRUE(fs::is_directory(third.path));
}

TEST_F(Writer, FailuresNameTheCause) {
  // No document: the staging folder exists, nothing else was written.
  const fs::path staging = dir.path() / "new" / "staging";
  try {
    writePack("no json here", "p", "m", staging, kClock);
    FAIL();
  } catch (const PackError& e) {
    EXPECT_STREQ(e.what(), "Model output did not contain JSON: no json here");
  }
  EXPECT_TRUE(fs::is_directory(staging));
  EXPECT_TRUE(fs::is_empty(staging));

  writeFile(dir.path() / "plain", "x");
  try {
    writePack("{}", "p", "m", dir.path() / "plain" / "staging", kClock);
    FAIL();
  } catch (const std::system_error& e) {
    EXPECT_EQ(std::string(e.what()), "could not create folder " + (dir.path() / "plain" / "staging").string() + ": Not a directory");
  }

  // A later file that cannot be written: the earlier files stay, no manifest.
  try {
    write({{"name", "clash"},
           {"python_recipes", {{{"filename", "x"}, {"body", "file"}}, {{"filename", "x/y"}, {"body", "nested"}}}}});
    FAIL();
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("could not create folder "), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("/python/x: File exists"), std::string::npos) << e.what();
  }
  const auto files = readPackFiles(dir.path() / ("clash-" + stamp()));
  EXPECT_EQ(files.size(), 1u);
  EXPECT_TRUE(files.count("python/x"));
}

TEST_F(Writer, FileNamesFromTheModelStayInsideTheirFolder) {
  const Result r = write({{"name", "escape"},
                          {"userscripts",
                           {{{"filename", "../../.bashrc"}, {"body", "u1"}},
                            {{"filename", "/"}, {"body", "u2"}},
                            {{"filename", ".."}, {"body", "u3"}}}},
                          {"python_recipes",
                           {{{"filename", "/etc/passwd"}, {"body", "p1"}},
                            {{"filename", "a//b"}, {"body", "p2"}},
                            {{"filename", ".."}, {"body", "p3"}},
                            {{"filename", ""}, {"body", "p4"}}}}});
  const std::string name = r.name;
  std::vector<std::string> paths;
  const json manifest = readJSON(r.path / "manifest.json");
  for (const auto& a : manifest["artifacts"]) paths.push_back(a["path"]);
  EXPECT_EQ(paths, (std::vector<std::string>{"userscripts/.bashrc.user.js", "userscripts/.user.js", "userscripts/...user.js",
                                             "python/etc/passwd", "python/a/b", "python/" + name + ".py",
                                             "python/" + name + ".py"}));
  const auto files = readPackFiles(r.path);
  for (const auto& p : paths) EXPECT_TRUE(files.count(p)) << p;
  EXPECT_EQ(files.at("python/" + name + ".py"), "p4");
  // Nothing escaped into the staging folder.
  std::size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) entries += (void(e), 1);
  EXPECT_EQ(entries, 1u);

  // A path too long for the system is an error, not an endless tree of folders.
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "a/";
  EXPECT_THROW(write({{"name", "deep"}, {"python_recipes", {{{"filename", deep + "x"}, {"body", "p"}}}}}), std::system_error);
}

TEST_F(Writer, SymbolicLinksAreRemovedNeverFollowed) {
  TempDir outside;
  writeFile(outside.path() / "keep.txt", "precious");
  // A link standing where the pack folder goes.
  fs::create_directory_symlink(outside.path(), dir.path() / ("linked-" + stamp()));
  const Result r = write({{"name", "linked"}, {"python_recipes", {{{"filename", "keep.txt"}, {"body", "overwritten?"}}}}});
  EXPECT_FALSE(fs::is_symlink(r.path));
  EXPECT_EQ(readFile(outside.path() / "keep.txt"), "precious");
  EXPECT_EQ(readFile(r.path / "python/keep.txt"), "overwritten?");

  // Links inside a pack folder: a folder link is replaced by a folder, a file
  // link by the file; the targets stay untouched.
  fs::create_directory(dir.path() / "manual");
  fs::create_directory_symlink(outside.path(), dir.path() / "manual" / "userscripts");
  fs::create_symlink(outside.path() / "keep.txt", dir.path() / "manual" / "manifest.json");
  PackFolder folder = PackFolder::openNoFollow(dir.path() / "manual");
  folder.subfolder("userscripts").writeFileAtomically("keep.txt", "new");
  folder.writeFileAtomically("manifest.json", "{}");
  EXPECT_FALSE(fs::is_symlink(dir.path() / "manual" / "userscripts"));
  EXPECT_FALSE(fs::is_symlink(dir.path() / "manual" / "manifest.json"));
  EXPECT_EQ(readFile(outside.path() / "keep.txt"), "precious");
  EXPECT_EQ(readFile(dir.path() / "manual" / "userscripts" / "keep.txt"), "new");
  EXPECT_THROW(PackFolder::openNoFollow(dir.path() / ("linked-x")), std::system_error);
}

TEST_F(Writer, ManyScriptsAndHostileValues) {
  json scripts = json::array();
  for (int i = 0; i < 10000; ++i) scripts.push_back({{"filename", "s" + std::to_string(i % 100)}, {"body", "x"}});
  std::string emoji;
  for (int i = 0; i < 5000; ++i) emoji += "\xF0\x9F\x98\x80";
  const Result r = write({{"name", emoji}, {"userscripts", scripts}, {"keyboard_buttons", {{{"label", {1, 2}}}}}});
  EXPECT_EQ(r.name, "pack-" + stamp());
  const auto files = readPackFiles(r.path);
  EXPECT_EQ(files.size(), 102u);  // 100 scripts, the keyboard file, the manifest
  EXPECT_EQ(readJSON(r.path / "manifest.json")["artifacts"].size(), 10001u);
}

TEST(ReadBack, RegularUtf8FilesOnly) {
  TempDir dir;
  fs::create_directories(dir.path() / "userscripts" / "deep");
  writeFile(dir.path() / "manifest.json", "{}");
  writeFile(dir.path() / ".hidden", "h");
  writeFile(dir.path() / "userscripts" / "deep" / "a.user.js", "a");
  writeFile(dir.path() / "latin1.txt", "caf\xE9");
  TempDir outside;
  writeFile(outside.path() / "secret", "s");
  fs::create_symlink(outside.path() / "secret", dir.path() / "link");
  fs::create_directory_symlink(outside.path(), dir.path() / "dirlink");
  const auto files = readPackFiles(dir.path());
  EXPECT_EQ(files, (std::map<std::string, std::string>{
                       {".hidden", "h"}, {"manifest.json", "{}"}, {"userscripts/deep/a.user.js", "a"}}));
  EXPECT_TRUE(readPackFiles(dir.path() / "missing").empty());
  EXPECT_TRUE(readPackFiles(dir.path() / "link").empty());
}

}  // namespace
}  // namespace tavlo::TavloPackWriter
