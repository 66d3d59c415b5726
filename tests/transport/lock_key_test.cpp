// Which lock a camera node meets: the device, not the spelling of its path.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "identity_tree.h"
#include "internal/node_lock.h"
#include "orvex_test.h"

namespace {

std::string key_of(const std::string& node) {
    std::string key;
    orvex_lock::lock_key(node.c_str(), &key);
    return key;
}

class LockKey : public orvex_test::CameraTest {};

TEST_F(LockKey, EveryPathToOneDeviceIsOneLock) {
    std::string dir = ::testing::TempDir() + "/lock-key." + std::to_string(getpid());
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(symlink("/dev/null", (dir + "/abs").c_str()), 0);
    ASSERT_EQ(symlink("abs", (dir + "/rel").c_str()), 0);  // a link to a link
    const std::string null_key = key_of("/dev/null");
    EXPECT_EQ(null_key, "char-1.3") << "a character device by its number";
    for (const std::string& path : {dir + "/abs", dir + "/rel", std::string("/dev//null"), std::string("/dev/./null"),
                                    std::string("/tmp/../dev/null")})
        EXPECT_EQ(key_of(path), null_key) << path;
    EXPECT_NE(key_of("/dev/zero"), null_key);
    unlink((dir + "/rel").c_str());
    unlink((dir + "/abs").c_str());
    rmdir(dir.c_str());
}

// The virtual camera's /dev/v4l links lead to its node's lock.
TEST_F(LockKey, VirtualCameraLinksMeetTheNodesLock) {
    std::string tree = ::testing::TempDir() + "/lock-key-ids." + std::to_string(getpid()), error;
    ASSERT_TRUE(vcam::write_identity_tree(tree, &error)) << error;
    vcam::set_identity_root(tree);
    for (const char* folder : {"/dev/v4l/by-id", "/dev/v4l/by-path"}) {
        DIR* d = opendir(folder);
        ASSERT_NE(d, nullptr) << folder;
        std::string link;
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') link = std::string(folder) + "/" + e->d_name;
        closedir(d);
        ASSERT_FALSE(link.empty()) << folder;
        EXPECT_EQ(key_of(link), key_of("/dev/video0")) << link;
    }
    EXPECT_NE(key_of("/dev/video1"), key_of("/dev/video0"));
    vcam::set_identity_root("");
    vcam::remove_identity_tree(tree);
}

}  // namespace
