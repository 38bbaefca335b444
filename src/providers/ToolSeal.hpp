#pragma once
// Seals a model's command-line tool (claude, codex) in bubblewrap before it
// runs: a prompt from the network must never make it read the user's files.
// The tool sees the system read-only, empty folders in place of the homes,
// /tmp and the other places users keep files, its scratch folder read-write
// as its working folder, and back in only its own configuration (read-write)
// and the folder it is installed in (read-only). It keeps the network and the
// companion's environment, runs in its own PID namespace and dies with the
// companion.
// sealedCommand and installRoot only compute (any thread); the rest looks at
// the file system and runs on the tool's own thread (or doctor's).
#include <optional>
#include <string>
#include <vector>

namespace tavlo {
struct ProcessResult;
}

namespace tavlo::ToolSeal {

struct Plan {
  std::string bwrap;                      // the bubblewrap program
  std::string tool;                       // the tool's executable, symbolic links resolved
  std::vector<std::string> args{};        // the tool's arguments
  std::string scratch;                    // read-write, its working folder
  std::vector<std::string> hidden{};      // existing folders covered by an empty tmpfs
  std::vector<std::string> ownFiles{};    // its configuration and login: read-write, when they exist
  std::vector<std::string> installed{};   // resolved files it runs: the tool, its script's interpreter
};

// The plan for running `executable` (symbolic links are resolved here) with
// `args` in `scratch`: the places users keep files under `home` hidden, its
// `ownFiles` and what it runs (itself and, for a "#!" script, the interpreter
// found on `searchPath`) brought back. Looks at the file system.
Plan planFor(std::string bwrap, const std::string& executable, std::vector<std::string> args, std::string scratch,
             const std::string& home, const std::string& searchPath, std::vector<std::string> ownFiles = {});

// The command that runs the tool sealed, bubblewrap first. An install root
// under a hidden folder comes back read-only; one that would uncover a hidden
// folder (a tool kept right in the home) is replaced by the file alone.
std::vector<std::string> sealedCommand(const Plan& plan);

// The folder a resolved file is installed in: for a file of an npm package
// (below a "node_modules" folder) the prefix above "lib/node_modules" or
// "node_modules", which holds the package and its dependencies (an nvm Node
// version, an npm prefix); for any other file the folder that holds it.
std::string installRoot(const std::string& file);

// Of /home, /root, /tmp, /var/tmp, /run/user, /media, /mnt, /srv and `home`,
// those that exist as folders: what the tool sees empty.
std::vector<std::string> hiddenFolders(const std::string& home);

// The resolved interpreter of a "#!" script ("#!/usr/bin/env node" looks for
// node in `searchPath`, as the tool's own environment will); "" for a binary.
std::string interpreterOf(const std::string& file, const std::string& searchPath);

// `bwrap` in an absolute folder of `searchPath`, "" when there is none.
std::string findBubblewrap(const std::string& searchPath);

// "cannot seal the tool: bubblewrap is not installed (sudo apt install
// bubblewrap), see tavlo-companion doctor".
std::string notInstalledMessage();

// For a sealed run that failed: the message when bubblewrap itself could not
// set the seal up (exit 1 with its own "bwrap: " line on standard error; the
// tool never started), else none.
std::optional<std::string> sealFailure(const ProcessResult& result);

// Why bubblewrap cannot make its namespaces, from the kernel's settings, and
// the command that fixes it; none when no setting explains it.
struct NamespaceProblem {
  std::string what;
  std::string fix;
};
std::optional<NamespaceProblem> userNamespaceProblem();

}  // namespace tavlo::ToolSeal
