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
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "runtime/platform/files.h"

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
