#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <set>
#include <system_error>
#include <thread>

#include "pack/PackFolder.hpp"
#include "pack/TavloPackWriter.hpp"
#include "support/TestSupport.hpp"

namespace tavlo::TavloPackWriter {
namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;
using testing::TempDir;
using Paths = std::vector<std::string>;
using Files = std::map<std::string, std::string>;

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

// Every path below `root`, relative, links not followed → "/" for a folder, "->target" for a link, else the content.
Files snapshot(const fs::path& root, bool filesOnly = false) {
  Files items;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const auto status = e.symlink_status();
    if (filesOnly && !fs::is_regular_file(status)) continue;
    items[e.path().lexically_relative(root)] = fs::is_symlink(status) ? "->" + fs::read_symlink(e.path()).string()
                                          : fs::is_directory(status) ? "/" : testing::readFile(e.path());
  }
  return items;
}
Files packFiles(const Result& r) { return snapshot(r.path, true); }
json manifest(const Result& r) { return json::parse(testing::readFile(r.path / "manifest.json")); }
Paths artifactPaths(const Result& r) {
  Paths paths;
  for (const json m = manifest(r); const auto& a : m["artifacts"]) paths.push_back(a["path"]);
  return paths;
}
Result write(const json& document, const fs::path& staging, std::string_view prompt = "Make a Dark-Mode toggle!") {
  return writePack("Here you go:\n```json\n" + document.dump() + "\n```\n", prompt, "ollama:llama3", staging, kClock);
}

TEST(Writer, WritesTheWholePackInOrder) {
  TempDir dir;
  const Result r = write({{"name", "Dark Mode Toggle"}, {"summary", "Two things"},
                          {"keyboard_buttons", {{{"label", "Dark"}, {"text", "dark please"}}, {{"kind", "newline"}},
                                                {{"label", ""}, {"kind", ""}, {"text", "t"}, {"extra", 1}},
                                                {{"label", "x"}, {"kind", 3}, {"text", 4}}}},
                          {"userscripts", {{{"filename", "dark.js"}, {"description", "Adds a toggle"}, {"body", "run();\n"}}}},
                          {"python_recipes", {{{"body", "print(1)\n"}, {"summary", "Prints"}}}}}, dir.path());
  const std::string name = "dark-mode-toggle-" + kStamp;
  EXPECT_EQ(std::make_tuple(r.name, r.path, r.summary), std::make_tuple(name, dir / name, std::string("Two things")));
  const auto files = packFiles(r);
  EXPECT_EQ(files.size(), 4u);
  EXPECT_EQ(json::parse(files.at("keyboard-pack.json")),
            json({{"name", name}, {"version", 1}, {"buttons", {{{"label", "Dark"}, {"kind", "snippet"}, {"text", "dark please"}},
                                                               {{"label", ""}, {"kind", ""}, {"text", "t"}},
                                                               {{"label", "x"}, {"kind", "snippet"}}}}}));
  EXPECT_EQ(files.at("userscripts/dark.user.js"),
            "// ==UserScript==\n// @name        " + name +
                "\n// @namespace   tavlo.quillet\n// @match       *://*/*\n// @run-at      document-idle\n"
                "// @grant       none\n// @version     0.1.0\n// @description Adds a toggle\n// ==/UserScript==\nrun();\n");
  EXPECT_EQ(files.at("python/" + name + ".py"), "print(1)\n");
  EXPECT_EQ(manifest(r), json({{"name", name}, {"version", "0.1.0"}, {"createdAt", "2026-12-05T19:44:22Z"},
                               {"summary", "Two things"}, {"prompt", "Make a Dark-Mode toggle!"}, {"model", "ollama:llama3"},
                               {"artifacts",
                                {{{"kind", "keyboard"}, {"path", "keyboard-pack.json"}, {"summary", "4 buttons"}},
                                 {{"kind", "userscript"}, {"path", "userscripts/dark.user.js"}, {"summary", "Adds a toggle"}},
                                 {{"kind", "python"}, {"path", "python/" + name + ".py"}, {"summary", "Prints"}}}}}));
  const std::string text = files.at("manifest.json");  // pretty-printed, keys sorted
  EXPECT_TRUE(text.starts_with("{\n  \"artifacts\": [\n    {\n      \"kind\": \"keyboard\",\n")) << text;
}

// A taken pack name gets "-2", "-3", …: whatever stood there (folder, file, link) is left as it was.
TEST(Writer, TakenPackNamesGetASuffixAndNothingIsReplaced) {
  TempDir outside;
  testing::writeFile(outside / "keep.txt", "precious");
  const std::string name = "daily-report-" + kStamp;
  const std::vector<std::pair<std::function<void(const fs::path&)>, std::string>> cases = {
      {[&](const fs::path& s) { testing::writeFile(s / name / "manifest.json", "old"); }, name + "-2"},
      {[&](const fs::path& s) { fs::create_directory_symlink(outside.path(), s / name); }, name + "-2"},
      {[&](const fs::path& s) { fs::create_symlink(s / "gone", s / name); }, name + "-2"},
      {[&](const fs::path& s) { fs::create_directory(s / name), testing::writeFile(s / (name + "-2"), "x"); }, name + "-3"},
  };
  for (const auto& [plant, expected] : cases) {
    SCOPED_TRACE(expected);
    TempDir staging;
    plant(staging.path());
    const auto before = snapshot(staging.path());
    const Result r = write({{"name", "Daily Report"}, {"keyboard_buttons", {{{"label", "a"}}}}, {"userscripts", {{{"body", "b"}}}},
                            {"python_recipes", {{{"body", "c"}}}}}, staging.path());
    EXPECT_TRUE(r.path == staging / expected && !fs::is_symlink(r.path));
    // The new name is inside its files, so the phone tells the packs apart.
    const Paths paths = {"keyboard-pack.json", "userscripts/" + expected + ".user.js", "python/" + expected + ".py"};
    EXPECT_EQ(std::make_tuple(manifest(r)["name"], json::parse(packFiles(r).at(paths[0]))["name"], artifactPaths(r)),
              std::make_tuple(json(expected), json(expected), paths));
    auto after = snapshot(staging.path());
    for (const auto& [path, item] : before) EXPECT_EQ(after[path], item) << path;
    EXPECT_EQ(snapshot(outside.path()), (Files{{"keep.txt", "precious"}}));
  }
}

// What a document becomes: the pack's name and summary (from the prompt when missing) and the files
// the manifest lists, each holding its own entry's body, nothing beside the pack. Wrong types count
// as missing, and so does a list with an element that is not an object; a script without a body is
// skipped; names from the model stay inside their folder; a name used twice (ignoring case) gets "-2", "-3", ….
TEST(Writer, DocumentsBecomeTheseFiles) {
  const std::string prompt = "Please make me a thing that does " + std::string(80, 'z');
  const std::string fromPrompt = "please-make-me-a-thing-that-does", generated = "Generated from: " + prompt.substr(0, 60);
  const auto entries = [](std::initializer_list<const char*> names) {
    json list = json::array();
    for (const char* n : names) list.push_back(*n ? json{{"filename", n}, {"body", n}} : json{{"body", "fallback"}});
    return list;
  };
  const auto own = [](const char* suffix) { return "same-" + kStamp + suffix; };
  const auto same = [](json scripts, json recipes) { return json{{"name", "same"}, {"userscripts", scripts}, {"python_recipes", recipes}}; };
  const std::tuple<json, std::string, std::string, Paths> cases[] = {
      {json::object(), fromPrompt, generated, {}},
      {{{"name", ""}, {"summary", ""}, {"keyboard_buttons", json::array()}}, "pack", "", {}},
      {{{"name", 7}, {"summary", {1}}, {"keyboard_buttons", {{{"label", "a"}}, "b"}}, {"userscripts", {{"body", "x"}}},
        {"python_recipes", {{{"body", 1}}}}}, fromPrompt, generated, {}},
      {{{"name", "k4"}, {"summary", "s"}, {"keyboard_buttons", {{{"kind", "a"}}, {{"text", "b"}}, {{"label", 3}}}},
        {"userscripts", {{{"description", "no body"}}, {{"filename", "tools/x.user.js"}, {"body", "3"}}}},
        {"python_recipes", {{{"filename", "noext"}, {"body", "4"}}}}}, "k4", "s",
       {"keyboard-pack.json", "userscripts/tools/x.user.js", "python/noext"}},
      {same(entries({"Dup.js", "dup.user.js", "dup-2.js", "DUP.js"}), entries({"Dup.user.js"})), "same", generated,
       {"userscripts/Dup.user.js", "userscripts/dup-2.user.js", "userscripts/dup-2-2.user.js", "userscripts/DUP-3.user.js",
        "python/Dup.user.js"}},  // each folder has its own names
      {same(entries({"", "", "tools/a.js", "TOOLS/A.js"}), entries({"", "", "noext", "noext"})), "same", generated,
       {"userscripts/" + own(".user.js"), "userscripts/" + own("-2.user.js"), "userscripts/tools/a.user.js",
        "userscripts/TOOLS/A-2.user.js", "python/" + own(".py"), "python/" + own("-2.py"), "python/noext", "python/noext-2"}},
      {same(entries({"../../.bashrc", "/", ".."}), entries({"/etc/passwd", "..", "a//b"})), "same", generated,
       {"userscripts/.bashrc.user.js", "userscripts/.user.js", "userscripts/...user.js", "python/etc/passwd",
        "python/" + own(".py"), "python/a/b"}},
  };
  for (const auto& [document, stem, summary, paths] : cases) {
    SCOPED_TRACE(document.dump().substr(0, 80));
    TempDir staging;
    const Result r = write(document, staging.path(), prompt);
    EXPECT_EQ(std::make_tuple(r.name, r.summary, artifactPaths(r)), std::make_tuple(stem + "-" + kStamp, summary, paths));
    const auto files = packFiles(r);
    EXPECT_TRUE(files.size() == paths.size() + 1 && snapshot(staging.path(), true).size() == files.size());
    Paths bodies;
    for (const char* list : {"userscripts", "python_recipes"})
      for (const auto& e : document.value(list, json::array()))
        if (e.is_object() && e.contains("body") && e["body"].is_string()) bodies.push_back(e["body"]);
    Paths written = paths;
    std::erase(written, "keyboard-pack.json");
    for (std::size_t i = 0; i < written.size(); ++i)
      EXPECT_TRUE(files.count(written[i]) && files.at(written[i]).ends_with(bodies.at(i))) << written[i];
  }
}

// Every pack gets its own name and every listed file stands on disk, written by that pack's writer.
TEST(Writer, PacksWrittenAtOnceWithOneNameAllRemainWhole) {
  TempDir dir;
  constexpr int kWriters = 8, kFiles = 60;
  std::vector<Result> results(kWriters);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&, w] {
      json recipes = json::array();
      for (int i = 0; i < kFiles; ++i) recipes.push_back({{"filename", std::to_string(i) + ".py"}, {"body", std::to_string(w)}});
      EXPECT_NO_THROW(results[w] = write({{"name", "same"}, {"python_recipes", recipes}}, dir.path()));
    });
  for (auto& t : threads) t.join();
  std::set<std::string> names;
  for (int w = 0; w < kWriters; ++w) {
    names.insert(results[w].name);
    const auto files = packFiles(results[w]);
    EXPECT_EQ(std::make_tuple(manifest(results[w])["name"], artifactPaths(results[w]).size(), files.size()),
              std::make_tuple(json(results[w].name), std::size_t{kFiles}, std::size_t{kFiles} + 1));
    for (const auto& path : artifactPaths(results[w])) EXPECT_EQ(files.at(path), std::to_string(w));
  }
  EXPECT_EQ(names.size(), std::size_t{kWriters});
  EXPECT_EQ(snapshot(dir.path()).size(), std::size_t{kWriters} * (kFiles + 3));  // no temporary folder left
}

TEST(Writer, FailuresNameTheCauseAndLeaveNothingBehind) {
  TempDir dir;
  testing::writeFile(dir / "plain", "x");
  EXPECT_EQ(errorOf<std::system_error>([&] { writePack("{}", "p", "m", dir / "plain" / "staging", kClock); }),
            "could not create folder " + (dir / "plain" / "staging").string() + ": Not a directory");
  // A staging folder that is a link to nothing is named as such, itself or further up.
  fs::create_directory_symlink(dir / "gone", dir / "dangling");
  EXPECT_EQ(errorOf<std::system_error>([&] { writePack("{}", "p", "m", dir / "dangling", kClock); }),
            "staging folder " + (dir / "dangling").string() + " is a symbolic link to a missing target " +
                (dir / "gone").string() + ": No such file or directory");
  EXPECT_TRUE(errorOf<std::system_error>([&] { writePack("{}", "p", "m", dir / "dangling" / "s", kClock); })
                  .starts_with("staging folder " + (dir / "dangling" / "s").string() + ": " + (dir / "dangling").string() +
                               " is a symbolic link to a missing target"));
  EXPECT_FALSE(fs::exists(dir / "gone"));

  // A file that cannot be written, after others were: the whole pack goes, the staging folder is as before.
  // The file size limit stands in for a full disk: a write fails part-way.
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "a/";
  const std::tuple<json, std::string> cases[] = {
      {{{{"filename", "x"}, {"body", "file"}}, {{"filename", "x/y"}, {"body", "n"}}}, "/python/x: File exists"},
      {{{{"filename", std::string(300, 'n')}, {"body", "2"}}}, std::string(300, 'n') + ": File name too long"},
      {{{{"filename", deep + "x"}, {"body", "2"}}}, "…: File name too long"},
      {{{{"filename", "big"}, {"body", std::string(40000, 'x')}}}, "/python/big: File too large"},
  };
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const rlimit small{20000, old.rlim_max};
  ::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
  ::setrlimit(RLIMIT_FSIZE, &small);
  for (const auto& [failing, end] : cases) {
    SCOPED_TRACE(end);
    TempDir clean;
    testing::writeFile(clean / "mine.txt", "kept");
    json recipes = json::array();
    for (int i = 0; i < 40; ++i) recipes.push_back({{"filename", "before/" + std::to_string(i)}, {"body", "b"}});
    recipes.insert(recipes.end(), failing.begin(), failing.end());
    const std::string error = errorOf<std::system_error>(
        [&] { write({{"name", "broken"}, {"keyboard_buttons", {{{"label", "a"}}}}, {"python_recipes", recipes}}, clean.path()); });
    EXPECT_TRUE(error.starts_with("could not ") && error.ends_with(end)) << error;
    EXPECT_EQ(snapshot(clean.path()), (Files{{"mine.txt", "kept"}}));
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
}

// Inside a pack folder a folder link is replaced by a folder; a file link is refused.
TEST(Writer, SymbolicLinksAreNeverFollowed) {
  TempDir dir, outside;
  testing::writeFile(outside / "keep.txt", "precious");
  fs::create_directory_symlink(outside.path(), dir / "userscripts");
  fs::create_symlink(outside / "keep.txt", dir / "manifest.json");
  PackFolder folder = PackFolder::open(dir.path());
  folder.subfolder("userscripts").writeNewFile("keep.txt", "new");
  EXPECT_THROW(folder.writeNewFile("manifest.json", "{}"), std::system_error);
  EXPECT_FALSE(fs::is_symlink(dir / "userscripts"));
  EXPECT_EQ(testing::readFile(outside / "keep.txt"), "precious");
}

// Swept: old hidden temporary folders and files of ours. Kept: a recent one (a write may be under way),
// names not ours, an older version's half pack under its real name, a link, and one a writer holds
// (here standing for a write in another process).
TEST(Writer, LeftoversOfKilledWritesAreSweptAndNothingElse) {
  TempDir s;
  for (const char* name : {".tavlo-tmp-0123456789ab", ".tavlo-tmp-aaaaaaaaaaaa"}) testing::writeFile(s / name / "u" / "a.js", "half");
  testing::writeFile(s / ".tavlo-tmp-bbbbbbbbbbbb", "a temporary file");
  for (const char* name : {".tavlo-tmp-cccccccccccc", ".tavlo-tmp-notours", ".tavlo-tmp-0123456789AB", "half-pack-101010"})
    fs::create_directory(s / name);
  fs::create_symlink(s / "half-pack-101010", s / ".tavlo-tmp-dddddddddddd");
  std::string held;
  PackFolder writing = PackFolder::open(s.path()).createTemporaryFolder(held);
  for (const std::string name : {".tavlo-tmp-0123456789ab", ".tavlo-tmp-aaaaaaaaaaaa", ".tavlo-tmp-bbbbbbbbbbbb",
                                 ".tavlo-tmp-notours", ".tavlo-tmp-0123456789AB", "half-pack-101010", held.c_str()})
    fs::last_write_time(s / name, fs::file_time_type::clock::now() - std::chrono::minutes(5));
  EXPECT_EQ(removeLeftovers(s.path()), 3u);
  EXPECT_EQ(snapshot(s.path()), (Files{{".tavlo-tmp-0123456789AB", "/"}, {".tavlo-tmp-cccccccccccc", "/"},
                                       {".tavlo-tmp-dddddddddddd", "->" + (s / "half-pack-101010").string()},
                                       {".tavlo-tmp-notours", "/"}, {held, "/"}, {"half-pack-101010", "/"}}));
  EXPECT_EQ(removeLeftovers(s.path(), std::chrono::seconds(0)), 1u);  // the recent one, once no one holds it
  EXPECT_EQ(removeLeftovers(s / "missing"), 0u);
}

}  // namespace
}  // namespace tavlo::TavloPackWriter
