// The byte layer of files: a failed write loses nothing, special files are
// read once, links are written through, renames never replace.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "runtime/platform/files.h"
#include "runtime/platform/platform.h"

using namespace zav;

namespace {

struct HostFiles : ::testing::Test {
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/zav-files-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { (void)!std::system(("rm -rf " + dir).c_str()); }
    std::string path(const char* name) const { return dir + "/" + name; }
    static std::string slurp(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    // Entries of the folder, to see that no temporary file is left behind.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        EXPECT_TRUE(simple_io::read_dir(dir.c_str(), names));
        return names;
    }
};

// While alive, files cannot grow past `bytes`: writes fail with EFBIG (also
// for root, which permission bits would not stop).
struct FileSizeLimit {
    rlimit saved{};
    struct sigaction old_action {};
    explicit FileSizeLimit(rlim_t bytes) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &old_action);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        sigaction(SIGXFSZ, &old_action, nullptr);
    }
};

}  // namespace

TEST_F(HostFiles, FailedWritesLeaveTheFileAsItWas) {
    std::string f = path("keep.txt");
    ASSERT_TRUE(simple_io::write_file(f.c_str(), "original content", -1, false));
    chmod(f.c_str(), 0640);
    std::string big(4096, 'x');
    {
        FileSizeLimit limit(1024);
        EXPECT_FALSE(simple_io::write_file(f.c_str(), big, -1, false));  // replace
        EXPECT_FALSE(simple_io::write_file(f.c_str(), big, -1, true));   // append
        EXPECT_FALSE(simple_io::write_file(f.c_str(), big, 4, false));   // at an offset
    }
    EXPECT_EQ(slurp(f), "original content");
    EXPECT_EQ(entries(), std::vector<std::string>{"keep.txt"});
    // A replaced file keeps its permissions.
    ASSERT_TRUE(simple_io::write_file(f.c_str(), "new", -1, false));
    struct stat st {};
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(slurp(f), "new");
}

TEST_F(HostFiles, WritesThroughLinksAndIntoDevices) {
    std::string target = path("target.txt"), link = path("link.txt");
    ASSERT_TRUE(simple_io::write_file(target.c_str(), "old", -1, false));
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_TRUE(simple_io::write_file(link.c_str(), "through the link", -1, false));
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(slurp(target), "through the link");
    // A device is written to, never replaced by a regular file.
    EXPECT_TRUE(simple_io::write_file("/dev/null", "x", -1, false));
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    // A folder is not a file.
    EXPECT_FALSE(simple_io::write_file(dir.c_str(), "x", -1, false));
}

TEST_F(HostFiles, SpecialFilesAreReadOnceWithPartAndSeek) {
    std::string out;
    ASSERT_EQ(simple_io::read_file("/dev/zero", 10, -1, out), simple_io::ReadResult::ok);
    EXPECT_EQ(out, std::string(10, '\0'));
    ASSERT_EQ(simple_io::read_file("/dev/zero", 3, 100000, out), simple_io::ReadResult::ok);
    EXPECT_EQ(out.size(), 3u);
    ASSERT_EQ(simple_io::read_file("/dev/null", -1, -1, out), simple_io::ReadResult::ok);
    EXPECT_EQ(out, "");
    // A pipe cannot be rewound: its bytes arrive once, from the seek on.
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(fifo.c_str(), O_WRONLY);
        (void)!write(fd, "0123456789", 10);
        _exit(0);
    }
    ASSERT_EQ(simple_io::read_file(fifo.c_str(), -1, 4, out), simple_io::ReadResult::ok);
    EXPECT_EQ(out, "456789");
    int status;
    waitpid(pid, &status, 0);
}

TEST_F(HostFiles, RenameNeverReplaces) {
    std::string a = path("a"), b = path("b"), c = path("c");
    ASSERT_TRUE(simple_io::write_file(a.c_str(), "A", -1, false));
    ASSERT_TRUE(simple_io::write_file(b.c_str(), "B", -1, false));
    EXPECT_FALSE(simple_io::rename(a.c_str(), b.c_str()));
    EXPECT_EQ(slurp(b), "B");
    EXPECT_TRUE(simple_io::rename(a.c_str(), c.c_str()));
    EXPECT_EQ(slurp(c), "A");
    EXPECT_FALSE(simple_io::file_exists_q(a.c_str()));
}

namespace {

// Runs `body` in a child process as a user that permission bits bind (root
// passes every check), with the folder handed to that user. Answers the
// child's exit status: 0 when all its checks held.
template <class Body>
int as_unprivileged(const std::string& dir, Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0) {
            if (chown(dir.c_str(), 65534, 65534) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(90);
        }
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

}  // namespace

// Without a temporary file beside it (a folder the user cannot write to),
// the file is changed in place, and a failed write still keeps what it held.
TEST_F(HostFiles, InPlaceReplacementKeepsTheOldContentOnFailure) {
    int status = as_unprivileged(dir, [&] {
        std::string f = path("keep.txt");
        if (!simple_io::write_file(f.c_str(), "original content", -1, false)) return 1;
        if (chmod(dir.c_str(), 0555) != 0) return 2;
        {
            FileSizeLimit limit(1024);
            if (simple_io::write_file(f.c_str(), std::string(4096, 'x'), -1, false)) return 3;
        }
        if (slurp(f) != "original content") return 4;
        if (!simple_io::write_file(f.c_str(), "shorter", -1, false) || slurp(f) != "shorter") return 5;
        if (!simple_io::write_file(f.c_str(), "a longer text", -1, false) || slurp(f) != "a longer text") return 6;
        chmod(dir.c_str(), 0755);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// A file the user may not write is not replaced, though its folder is writable.
TEST_F(HostFiles, ReadOnlyFilesAreNotReplaced) {
    int status = as_unprivileged(dir, [&] {
        std::string f = path("read-only.txt");
        if (!simple_io::write_file(f.c_str(), "kept", -1, false) || chmod(f.c_str(), 0444) != 0) return 1;
        if (simple_io::write_file(f.c_str(), "lost", -1, false)) return 2;
        if (slurp(f) != "kept") return 3;
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// Names near the limit of 255 bytes: the temporary name must not exceed it,
// for new files and replaced ones alike.
TEST_F(HostFiles, LongNamesAreReplacedWhole) {
    for (size_t length : {200, 248, 255}) {
        std::string f = path(std::string(length, 'n').c_str());
        ASSERT_TRUE(simple_io::write_file(f.c_str(), "first", -1, false)) << length;
        {
            FileSizeLimit limit(16);
            EXPECT_FALSE(simple_io::write_file(f.c_str(), std::string(100, 'x'), -1, false)) << length;
        }
        EXPECT_EQ(slurp(f), "first") << length;
        ASSERT_TRUE(simple_io::write_file(f.c_str(), "second", -1, false)) << length;
        EXPECT_EQ(slurp(f), "second") << length;
        EXPECT_EQ(entries().size(), 1u) << length;
        unlink(f.c_str());
    }
}

// A path that leads to an open descriptor (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N) is written through that descriptor: the file behind it is
// neither replaced nor cut, and a descriptor open only for reading refuses.
TEST_F(HostFiles, DescriptorPathsAreWrittenNotReplaced) {
    std::string f = path("out.txt");
    ASSERT_TRUE(simple_io::write_file(f.c_str(), "before ", -1, false));
    int fd = open(f.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    struct stat before {};
    ASSERT_EQ(stat(f.c_str(), &before), 0);
    for (std::string name : {"/dev/fd/", "/proc/self/fd/"}) {
        std::string p = name + std::to_string(fd);
        EXPECT_TRUE(simple_io::write_file(p.c_str(), name, -1, false)) << p;
    }
    close(fd);
    struct stat after {};
    ASSERT_EQ(stat(f.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(slurp(f), "before /dev/fd//proc/self/fd/");
    int in = open(f.c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    std::string p = "/dev/fd/" + std::to_string(in);
    EXPECT_FALSE(simple_io::write_file(p.c_str(), "x", -1, false));
    close(in);
    EXPECT_EQ(slurp(f), "before /dev/fd//proc/self/fd/");
}

// Without HOME, or with an empty one, the home folder is the password
// database's, never a folder every user shares.
TEST_F(HostFiles, HomeFolderComesFromThePasswordDatabaseWithoutHome) {
    const char* saved = std::getenv("HOME");
    std::string keep = saved ? saved : "";
    passwd* entry = getpwuid(geteuid());
    std::string expected = entry && entry->pw_dir && *entry->pw_dir ? entry->pw_dir : "/tmp/zav-" + std::to_string(geteuid());
    while (expected.size() > 1 && expected.back() == '/') expected.pop_back();
    if (expected == "/") expected.clear();
    unsetenv("HOME");
    EXPECT_EQ(platform::home_folder(), expected);
    setenv("HOME", "", 1);
    EXPECT_EQ(platform::home_folder(), expected);
    setenv("HOME", "/some/where/", 1);
    EXPECT_EQ(platform::home_folder(), "/some/where");
    if (saved) setenv("HOME", keep.c_str(), 1);
    else unsetenv("HOME");
}

TEST_F(HostFiles, OwnOrAbsentRefusesLinksAndOtherUsersFiles) {
    std::string own = path("own"), link = path("link"), absent = path("absent");
    ASSERT_EQ(mkdir(own.c_str(), 0755), 0);
    ASSERT_EQ(symlink(own.c_str(), link.c_str()), 0);
    EXPECT_TRUE(platform::own_or_absent(own.c_str()));
    EXPECT_TRUE(platform::own_or_absent((own + "/").c_str()));
    EXPECT_TRUE(platform::own_or_absent(absent.c_str()));
    EXPECT_FALSE(platform::own_or_absent(link.c_str()));
    EXPECT_FALSE(platform::own_or_absent((link + "/").c_str()));
    if (geteuid() == 0) {
        ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(platform::own_or_absent(own.c_str()));
    }
}
