#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>
#include <thread>
#include <system_error>

#include "support/TestSupport.hpp"
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

// The names in `folder`, sorted.
Paths listing(const fs::path& folder) {
  Paths names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Every path below `root` (links not followed) → "/" for a folder, "->target" for a link, else the content.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> items;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const auto status = e.symlink_status();
    items[e.path().string()] = fs::is_symlink(status) ? "->" + fs::read_symlink(e.path()).string()
                               : fs::is_directory(status) ? "/" : readFile(e.path());
  }
  return items;
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
  // A prompt without ASCII letters gives "pack" too (taken just above: "-2"); wrong types count
  // as missing, and so does a list with one element that is not an object.
  const Result typed = write({{"name", 7}, {"summary", {1}}, {"keyboard_buttons", {{{"label", "a"}}, "b"}},
                              {"userscripts", {{"body", "x"}}}, {"python_recipes", {{{"body", 1}}}}},
                             "\xE2\x9C\xA8\xE2\x9C\xA8");
  EXPECT_EQ(std::make_pair(typed.name, typed.summary),
            std::make_pair("pack-" + kStamp + "-2", std::string("Generated from: \xE2\x9C\xA8\xE2\x9C\xA8")));
  EXPECT_EQ(readPackFiles(typed.path).size(), 1u);
  EXPECT_FALSE(fs::exists(write({{"name", "k1"}, {"keyboard_buttons", json::array()}}).path / "keyboard-pack.json"));
  // Buttons without a string label are dropped, yet counted in the summary. A script without
  // a body is skipped.
  const Result scripts = write({{"name", "k4"}, {"keyboard_buttons", {{{"kind", "a"}}, {{"text", "b"}}, {{"label", 3}}}},
                                {"userscripts", {{{"description", "no body"}}, {{"filename", "tools/x.user.js"}, {"body", "3"}}}},
                                {"python_recipes", {{{"filename", "noext"}, {"body", "4"}}}}});
  const auto files = readPackFiles(scripts.path);
  EXPECT_EQ(json::parse(files.at("keyboard-pack.json"))["buttons"], json::array());
  EXPECT_EQ(manifest(scripts)["artifacts"][0]["summary"], "3 buttons");
  EXPECT_TRUE(files.count("userscripts/tools/x.user.js"));
  EXPECT_EQ(files.at("python/noext"), "4");
  EXPECT_EQ(artifactPaths(scripts), (Paths{"keyboard-pack.json", "userscripts/tools/x.user.js", "python/noext"}));
}

TEST_F(Writer, TakenPackNamesGetASuffixAndNothingIsReplaced) {
  testing::TempDir outside;
  writeFile(outside.path() / "keep.txt", "precious");
  const std::string name = "daily-report-" + kStamp;
  struct Case {
    const char* what;
    std::function<void(const fs::path& staging)> plant;  // what stood there before
    std::string expected;                                 // the new pack's name
  };
  const std::vector<Case> cases = {
      {"nothing", [](const fs::path&) {}, name},
      {"yesterday's pack of the same HHmmss",
       [&](const fs::path& s) { fs::create_directory(s / name); writeFile(s / name / "manifest.json", "old"); }, name + "-2"},
      {"a file", [&](const fs::path& s) { writeFile(s / name, "a file"); }, name + "-2"},
      {"a link to a folder", [&](const fs::path& s) { fs::create_directory_symlink(outside.path(), s / name); }, name + "-2"},
      {"a dangling link", [&](const fs::path& s) { fs::create_symlink(s / "gone", s / name); }, name + "-2"},
      {"the name and its -2",
       [&](const fs::path& s) { fs::create_directory(s / name); writeFile(s / (name + "-2"), "x"); }, name + "-3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir staging;
    c.plant(staging.path());
    const auto before = snapshot(staging.path());
    const Result r = writePack(R"({"name":"Daily Report","keyboard_buttons":[{"label":"a"}],
                                   "userscripts":[{"body":"b"}],"python_recipes":[{"body":"c"}]})",
                               "p", "m", staging.path(), kClock);
    EXPECT_EQ(r.name, c.expected);
    EXPECT_EQ(r.path, staging.path() / c.expected);
    EXPECT_FALSE(fs::is_symlink(r.path));
    // The new name is inside its files, so the phone tells the packs apart.
    const auto files = readPackFiles(r.path);
    EXPECT_EQ(json::parse(files.at("manifest.json"))["name"], c.expected);
    EXPECT_EQ(json::parse(files.at("keyboard-pack.json"))["name"], c.expected);
    EXPECT_TRUE(files.count("userscripts/" + c.expected + ".user.js") && files.count("python/" + c.expected + ".py"));
    auto after = snapshot(staging.path());
    for (const auto& [path, item] : before) EXPECT_EQ(after[path], item) << path;
    EXPECT_EQ(snapshot(outside.path()), (std::map<std::string, std::string>{{outside.path() / "keep.txt", "precious"}}));
  }
}

TEST_F(Writer, FileNamesInAPackAreUniqueIgnoringCase) {
  const std::string own = "same-" + kStamp;
  struct Case {
    json scripts, recipes;
    Paths paths;  // as listed in the manifest, each once
  };
  auto scripts = [](std::initializer_list<const char*> names) {
    json list = json::array();
    for (const char* n : names) list.push_back(*n ? json{{"filename", n}, {"body", n}} : json{{"body", "fallback"}});
    return list;
  };
  const std::vector<Case> cases = {
      {scripts({"dup.js", "dup.js"}), json::array(), {"userscripts/dup.user.js", "userscripts/dup-2.user.js"}},
      {scripts({"x.js", "x.user.js", "X.user.js"}), json::array(),
       {"userscripts/x.user.js", "userscripts/x-2.user.js", "userscripts/X-3.user.js"}},
      {scripts({"Dup.js", "dup.user.js", "dup-2.js", "DUP.js"}), json::array(),
       {"userscripts/Dup.user.js", "userscripts/dup-2.user.js", "userscripts/dup-2-2.user.js", "userscripts/DUP-3.user.js"}},
      {scripts({"", "", "tools/a.js", "TOOLS/A.js"}), json::array(),
       {"userscripts/" + own + ".user.js", "userscripts/" + own + "-2.user.js", "userscripts/tools/a.user.js",
        "userscripts/TOOLS/A-2.user.js"}},
      {json::array(), scripts({"", "", "recipe.py", "recipe.py", "noext", "noext", ".hidden", ".hidden"}),
       {"python/" + own + ".py", "python/" + own + "-2.py", "python/recipe.py", "python/recipe-2.py", "python/noext",
        "python/noext-2", "python/.hidden", "python/.hidden-2"}},
      // The same name in the other folder is no clash.
      {scripts({"a.js"}), scripts({"a.user.js"}), {"userscripts/a.user.js", "python/a.user.js"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.paths.back());
    testing::TempDir staging;
    const Result r = writePack(json({{"name", "same"}, {"userscripts", c.scripts}, {"python_recipes", c.recipes}}).dump(),
                               "p", "m", staging.path(), kClock);
    EXPECT_EQ(artifactPaths(r), c.paths);
    const auto files = readPackFiles(r.path);
    EXPECT_EQ(files.size(), c.paths.size() + 1);
    // Every file holds its own entry's body: nothing was overwritten.
    const json all = [&] { json a = c.scripts; for (const auto& x : c.recipes) a.push_back(x); return a; }();
    for (std::size_t i = 0; i < c.paths.size(); ++i)
      EXPECT_TRUE(files.count(c.paths[i]) && files.at(c.paths[i]).ends_with(all[i]["body"].get<std::string>())) << c.paths[i];
  }
}

TEST_F(Writer, PacksWrittenAtOnceWithOneNameAllRemainWhole) {
  constexpr int kWriters = 8, kFiles = 60;
  std::vector<std::string> errors(kWriters);
  std::vector<Result> results(kWriters);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&, w] {
      json recipes = json::array();
      for (int i = 0; i < kFiles; ++i) recipes.push_back({{"filename", std::to_string(i) + ".py"}, {"body", std::to_string(w)}});
      try {
        results[w] = writePack(json({{"name", "same"}, {"python_recipes", recipes}}).dump(), "p", "m", dir.path(), kClock);
      } catch (const std::exception& e) {
        errors[w] = e.what();
      }
    });
  for (auto& t : threads) t.join();
  std::set<std::string> names;
  for (int w = 0; w < kWriters; ++w) {
    ASSERT_EQ(errors[w], "");
    names.insert(results[w].name);
    // What the reply would carry is what stands on disk: every listed file, each written by this writer.
    const auto files = readPackFiles(results[w].path);
    const json m = json::parse(files.at("manifest.json"));
    EXPECT_EQ(m["name"], results[w].name);
    EXPECT_EQ(m["artifacts"].size(), std::size_t{kFiles});
    EXPECT_EQ(files.size(), std::size_t{kFiles} + 1);
    for (const auto& a : m["artifacts"]) EXPECT_EQ(files.at(a["path"].get<std::string>()), std::to_string(w));
  }
  EXPECT_EQ(names.size(), std::size_t{kWriters});
  EXPECT_EQ(listing(dir.path()).size(), std::size_t{kWriters});  // no temporary folder left
}

TEST_F(Writer, FailuresNameTheCauseAndLeaveNothingBehind) {
  // No document: the staging folder exists, nothing else was written.
  const fs::path staging = dir.path() / "new" / "staging";
  EXPECT_EQ(errorOf<PackError>([&] { writePack("no json here", "p", "m", staging, kClock); }),
            "Model output did not contain JSON: no json here");
  EXPECT_TRUE(fs::is_directory(staging) && fs::is_empty(staging));
  writeFile(dir.path() / "plain", "x");
  EXPECT_EQ(errorOf<std::system_error>([&] { writePack("{}", "p", "m", dir.path() / "plain" / "staging", kClock); }),
            "could not create folder " + (dir.path() / "plain" / "staging").string() + ": Not a directory");
  // A staging folder that is a link to nothing is named as such, itself or further up.
  fs::create_directory_symlink(dir.path() / "gone", dir.path() / "dangling");
  EXPECT_EQ(errorOf<std::system_error>([&] { writePack("{}", "p", "m", dir.path() / "dangling", kClock); }),
            "staging folder " + (dir.path() / "dangling").string() + " is a symbolic link to a missing target " +
                (dir.path() / "gone").string() + ": No such file or directory");
  EXPECT_TRUE(errorOf<std::system_error>([&] { writePack("{}", "p", "m", dir.path() / "dangling" / "s", kClock); })
                  .starts_with("staging folder " + (dir.path() / "dangling" / "s").string() + ": " +
                               (dir.path() / "dangling").string() + " is a symbolic link to a missing target"));
  EXPECT_FALSE(fs::exists(dir.path() / "gone"));

  // A file that cannot be written, after others were: the whole pack goes, the staging folder is as before.
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "a/";
  const struct {
    const char* what;
    json recipes;
    std::string error;  // how the message ends
  } cases[] = {
      {"file then folder", {{{"filename", "x"}, {"body", "file"}}, {{"filename", "x/y"}, {"body", "n"}}}, "/python/x: File exists"},
      {"folder then file", {{{"filename", "x/y"}, {"body", "n"}}, {{"filename", "x"}, {"body", "file"}}}, "/python/x: File exists"},
      {"300-byte name", {{{"filename", "ok"}, {"body", "1"}}, {{"filename", std::string(300, 'n')}, {"body", "2"}}},
       std::string(300, 'n') + ": File name too long"},
      {"endless folders", {{{"filename", "ok"}, {"body", "1"}}, {{"filename", deep + "x"}, {"body", "2"}}}, "…: File name too long"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir clean;
    writeFile(clean.path() / "mine.txt", "kept");
    json recipes = json::array();
    for (int i = 0; i < 40; ++i) recipes.push_back({{"filename", "before/" + std::to_string(i)}, {"body", "b"}});
    for (const auto& r : c.recipes) recipes.push_back(r);
    const std::string error = errorOf<std::system_error>([&] {
      writePack(json({{"name", "broken"}, {"keyboard_buttons", {{{"label", "a"}}}}, {"python_recipes", recipes}}).dump(),
                "p", "m", clean.path(), kClock);
    });
    EXPECT_TRUE(error.starts_with("could not ") && error.ends_with(c.error)) << error;
    EXPECT_EQ(listing(clean.path()), Paths{"mine.txt"});
  }
}

TEST_F(Writer, FileNamesFromTheModelStayInsideTheirFolder) {
  json scripts = json::array(), recipes = json::array();
  for (const char* f : {"../../.bashrc", "/", ".."}) scripts.push_back({{"filename", f}, {"body", std::string("b") + f}});
  for (const char* f : {"/etc/passwd", "a//b", "..", ""}) recipes.push_back({{"filename", f}, {"body", std::string("b") + f}});
  const Result r = write({{"name", "escape"}, {"userscripts", scripts}, {"python_recipes", recipes}});
  const std::string own = "python/" + r.name + ".py";
  const Paths paths = artifactPaths(r);
  const std::string own2 = "python/" + r.name + "-2.py";
  EXPECT_EQ(paths, (Paths{"userscripts/.bashrc.user.js", "userscripts/.user.js", "userscripts/...user.js", "python/etc/passwd",
                          "python/a/b", own, own2}));
  const auto files = readPackFiles(r.path);
  for (const auto& p : paths) EXPECT_TRUE(files.count(p)) << p;
  EXPECT_EQ(files.size(), 8u);  // the seven above and the manifest
  EXPECT_EQ(std::make_pair(files.at(own), files.at(own2)), std::make_pair(std::string("b.."), std::string("b")));
  // Nothing escaped into the staging folder.
  EXPECT_EQ(listing(dir.path()), Paths{r.name});
}

TEST_F(Writer, SymbolicLinksAreNeverFollowed) {
  testing::TempDir outside;
  writeFile(outside.path() / "keep.txt", "precious");
  fs::create_directory_symlink(outside.path(), dir.path() / "alias");
  EXPECT_THROW(PackFolder::openNoFollow(dir.path() / "alias"), std::system_error);
  EXPECT_TRUE(readPackFiles(dir.path() / "alias").empty() && readPackFiles(dir.path() / "missing").empty());
  // Inside a pack folder a folder link is replaced by a folder; a file link is refused.
  const fs::path manual = dir.path() / "manual";
  fs::create_directory(manual);
  fs::create_directory_symlink(outside.path(), manual / "userscripts");
  fs::create_symlink(outside.path() / "keep.txt", manual / "manifest.json");
  PackFolder folder = PackFolder::openNoFollow(manual);
  folder.subfolder("userscripts").writeNewFile("keep.txt", "new");
  EXPECT_THROW(folder.writeNewFile("manifest.json", "{}"), std::system_error);
  EXPECT_FALSE(fs::is_symlink(manual / "userscripts"));
  EXPECT_EQ(readFile(outside.path() / "keep.txt"), "precious");
  // Reading a pack back takes regular UTF-8 files only, never through a link.
  fs::create_directory_symlink(outside.path(), manual / "python");
  writeFile(manual / ".latin1", "caf\xE9");
  EXPECT_EQ(readPackFiles(manual), (std::map<std::string, std::string>{{"userscripts/keep.txt", "new"}}));
}

TEST_F(Writer, LeftoversOfKilledWritesAreSweptAndNothingElse) {
  const fs::path s = dir.path();
  const auto backdate = [](const fs::path& p) {
    const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(5);
    fs::last_write_time(p, old);
  };
  for (const char* name : {".tavlo-tmp-0123456789ab", ".tavlo-tmp-aaaaaaaaaaaa"}) {
    fs::create_directories(s / name / "userscripts");
    writeFile(s / name / "userscripts" / "a.user.js", "half");
  }
  writeFile(s / ".tavlo-tmp-bbbbbbbbbbbb", "a temporary file");
  fs::create_directory(s / ".tavlo-tmp-cccccccccccc");        // recent: a write may be under way
  fs::create_directory(s / ".tavlo-tmp-notours");              // not a name of ours
  fs::create_directory(s / ".tavlo-tmp-0123456789AB");
  fs::create_directory(s / "half-pack-101010");                // an older version's half pack keeps its real name
  fs::create_symlink(s / "half-pack-101010", s / ".tavlo-tmp-dddddddddddd");
  for (const char* name : {".tavlo-tmp-0123456789ab", ".tavlo-tmp-aaaaaaaaaaaa", ".tavlo-tmp-bbbbbbbbbbbb",
                           ".tavlo-tmp-notours", ".tavlo-tmp-0123456789AB", "half-pack-101010"})
    backdate(s / name);
  // A writer that holds its folder (here: a write in progress in another process) keeps it.
  std::string held;
  PackFolder writing = PackFolder::open(s).createTemporaryFolder(held);
  backdate(s / held);
  EXPECT_EQ(removeLeftovers(s), 3u);
  Paths kept{".tavlo-tmp-0123456789AB", ".tavlo-tmp-cccccccccccc", ".tavlo-tmp-dddddddddddd", ".tavlo-tmp-notours",
             held, "half-pack-101010"};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(listing(s), kept);
  EXPECT_EQ(removeLeftovers(s, std::chrono::seconds(0)), 1u);  // the recent one, once no one holds it
  EXPECT_EQ(removeLeftovers(s / "missing"), 0u);
}

TEST_F(Writer, ManyScriptsAndHostileValues) {
  json scripts = json::array();
  for (int i = 0; i < 400; ++i) scripts.push_back({{"filename", "s" + std::to_string(i % 100)}, {"body", "x"}});
  std::string emoji;
  for (int i = 0; i < 5000; ++i) emoji += "\xF0\x9F\x98\x80";
  const Result r = write({{"name", emoji}, {"userscripts", scripts}, {"keyboard_buttons", {{{"label", {1, 2}}}}}});
  EXPECT_EQ(r.name, "pack-" + kStamp);
  EXPECT_EQ(readPackFiles(r.path).size(), 402u);  // every script, the keyboard file, the manifest
  EXPECT_EQ(manifest(r)["artifacts"].size(), 401u);
}

}  // namespace
}  // namespace tavlo::TavloPackWriter
