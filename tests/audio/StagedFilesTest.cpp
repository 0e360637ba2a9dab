// SPDX-License-Identifier: GPL-3.0-or-later
// The one write path: a fault at every step of a commit, a kill, orphans of dead writers, links,
// devices and the longest names leave every file that was there before byte for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>

#include "TestSupport.h"
#include "audio/AudioFileWriter.h"
#include "audio/StagedFiles.h"

namespace corvane::audio {
namespace {

namespace fs = std::filesystem;
using test::fileContents;
using test::TempDir;

// Every name in `folder` with what it holds; a link shows as "-> target".
std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names[e.path().filename().string()] =
            e.is_symlink() ? "-> " + fs::read_symlink(e.path()).string() : fileContents(e.path());
    return names;
}

void put(int fd, const std::string& text) {
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

// Stages three files, "a" and "b" replacing older ones and "link" replacing a symbolic link to
// a file outside the set, each holding "new <name>".
void stageThree(StagedFiles& staged, const fs::path& dir) {
    for (const char* name : {"a", "link", "c"}) {
        auto file = staged.create(dir / name);
        ASSERT_TRUE(file) << file.error().description;
        put(file.value().fd, std::string("new ") + name);
    }
}

TEST(StagedFiles, AFaultAtAnyStepOfACommitLeavesEveryEarlierFileAsItWas) {
    const TempDir dir;
    std::ofstream(dir / "a") << "old a";
    std::ofstream(dir / "target") << "the link's target";
    fs::create_symlink("target", dir / "link");
    const auto before = snapshot(dir.path());
    for (StagedFiles::Step step :
         {StagedFiles::Step::sync, StagedFiles::Step::rename, StagedFiles::Step::renamed}) {
        for (std::size_t at = 0; at < 3; ++at) {
            SCOPED_TRACE(testing::Message() << "step " << static_cast<int>(step) << " file " << at);
            StagedFiles staged;
            stageThree(staged, dir.path());
            staged.injectFaultsForTesting([&](StagedFiles::Step s, std::size_t i) {
                return s == step && i == at ? std::optional(systemError(ENOSPC)) : std::nullopt;
            });
            const std::optional<Error> error = staged.commit();
            ASSERT_TRUE(error);
            EXPECT_NE(error->description.find("No space left on device"), std::string::npos);
            EXPECT_EQ(snapshot(dir.path()), before);
        }
    }
    {  // Dropped and discarded files leave nothing either.
        StagedFiles staged;
        stageThree(staged, dir.path());
        staged.drop(1);
        EXPECT_EQ(staged.size(), 2u);
    }
    EXPECT_EQ(snapshot(dir.path()), before);

    StagedFiles staged;
    stageThree(staged, dir.path());
    ASSERT_FALSE(staged.commit());
    // The link itself is replaced; what it pointed at is never written.
    EXPECT_EQ(snapshot(dir.path()),
              (std::map<std::string, std::string>{{"a", "new a"},
                                                  {"c", "new c"},
                                                  {"link", "new link"},
                                                  {"target", "the link's target"}}));
}

// A writer killed before its commit leaves unlocked temporaries, and one killed between two
// renames leaves a whole new file and whole old ones: never a half-written file. The next set
// in that folder removes the dead writer's temporaries and leaves a live writer's alone.
TEST(StagedFiles, AKilledWritersOrphansAreRemovedAndALiveWritersAreKept) {
    for (const bool midCommit : {false, true}) {
        SCOPED_TRACE(midCommit ? "killed between renames" : "killed while writing");
        const TempDir dir;
        std::ofstream(dir / "a") << "old a";
        std::ofstream(dir / "c") << "old c";
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            StagedFiles staged;
            for (const char* name : {"a", "c"}) {
                auto file = staged.create(dir / name);
                if (!file || ::write(file.value().fd, "new", 3) != 3) ::_exit(1);
            }
            if (!midCommit) ::raise(SIGKILL);
            staged.injectFaultsForTesting([](StagedFiles::Step s, std::size_t i) {
                if (s == StagedFiles::Step::renamed && i == 0) ::raise(SIGKILL);
                return std::optional<Error>{};
            });
            (void)staged.commit();
            ::_exit(2);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        EXPECT_EQ(fileContents(dir / "a"), midCommit ? "new" : "old a");
        EXPECT_EQ(fileContents(dir / "c"), "old c");

        // A live writer's temporary: its lock is held on another open file.
        const fs::path live = dir / temporaryName("b", "0123456789abcdef", 255);
        const int held = ::open(live.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);
        const std::size_t leftBehind = snapshot(dir.path()).size();
        EXPECT_GT(leftBehind, 3u);  // a, c, the live one and the orphans

        // The next writer, as the next run would be: a process of its own (folders are swept
        // once per process).
        const pid_t next = ::fork();
        ASSERT_GE(next, 0);
        if (next == 0) {
            bool created = false;
            {
                StagedFiles staged;
                created = staged.create(dir / "d").ok();
            }
            ::_exit(created ? 0 : 1);
        }
        ASSERT_EQ(::waitpid(next, &status, 0), next);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        std::map<std::string, std::string> after = snapshot(dir.path());
        EXPECT_TRUE(after.erase(live.filename().string()));
        // The backup of a file replaced mid-commit holds the only copy of the old take: kept.
        for (auto it = after.begin(); it != after.end();)
            it = it->first.ends_with(".orig") && it->second == "old a" ? after.erase(it) : ++it;
        EXPECT_EQ(after, (std::map<std::string, std::string>{{"a", midCommit ? "new" : "old a"},
                                                             {"c", "old c"}}));
        ::close(held);
    }
}

// The longest name a folder allows still gets a temporary that fits, cut on a character, and
// a device is written where it is, never renamed over.
TEST(StagedFiles, LongestNamesFitAndDevicesAreWrittenInPlace) {
    const TempDir dir;
    std::string longest = "x";
    while (longest.size() + 2 <= 255) longest += "é";  // two bytes each
    ASSERT_EQ(longest.size(), 255u);
    const std::string temp = temporaryName(longest, "0123456789abcdef", 255);
    EXPECT_EQ(temp.size(), 254u);  // the cut backs off to a whole character
    StagedFiles staged;
    auto file = staged.create(dir / longest);
    ASSERT_TRUE(file) << file.error().description;
    put(file.value().fd, "long");
    auto device = staged.create("/dev/null");
    ASSERT_TRUE(device) << device.error().description;
    put(device.value().fd, "nothing");
    ASSERT_FALSE(staged.commit());
    EXPECT_EQ(fileContents(dir / longest), "long");
    struct stat st {};
    ASSERT_EQ(::lstat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    fs::create_directories(dir / "folder");
    auto folder = staged.create(dir / "folder");
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().description, "Is a directory");

    // Text files go together too: one that cannot be written keeps the other from its name.
    const auto failed = writeTextFiles({{dir / "map.json", "{}"}, {dir / "folder", "x"}});
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->description, (dir / "folder").string() + ": Is a directory");
    EXPECT_FALSE(fs::exists(dir / "map.json"));
    ASSERT_FALSE(writeTextFiles({{dir / "map.json", "{}"}, {dir / "beats.txt", "0\t0\t1\n"}}));
    EXPECT_EQ(fileContents(dir / "beats.txt"), "0\t0\t1\n");
}

}  // namespace
}  // namespace corvane::audio
