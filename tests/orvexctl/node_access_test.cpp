// doctor's advice on a node the user may not open fits the node's owner
// and mode: joining a group only helps where the group may read and write,
// and the root group is never the advice.
#include <gtest/gtest.h>

#include "node_access.h"

namespace {

using orvexctl::NodeAccess;

NodeAccess node(uid_t owner, gid_t group, mode_t mode, const char* owner_name, const char* group_name,
                bool in_group = false) {
    NodeAccess a;
    a.owner = owner;
    a.group = group;
    a.mode = mode;
    a.owner_name = owner_name;
    a.group_name = group_name;
    a.me = 1000;
    a.my_name = "op";
    a.in_group = in_group;
    return a;
}

TEST(NodeAccess, AdviceFitsTheNodesOwnerAndMode) {
    struct Case {
        const char* what;
        NodeAccess a;
        bool may;
        const char* says;      // in the advice
        const char* never;     // never in the advice
    } cases[] = {
        {"root only", node(0, 0, 0600, "root", "root"), false, "only its owner root may open it (mode 0600)",
         "join group"},
        {"root group read-write", node(0, 0, 0660, "root", "root"), false, "owner root and group root", "join group"},
        {"video group", node(0, 44, 0660, "root", "video"), false, "join group video (adduser op video", "chmod"},
        {"video group read-only", node(0, 44, 0640, "root", "video"), false, "only its owner root", "join group"},
        {"a member already", node(0, 44, 0660, "root", "video", true), true, "", ""},
        {"mine, not writable", node(1000, 1000, 0400, "op", "op"), false, "chmod u+rw", "join group"},
        {"mine", node(1000, 1000, 0600, "op", "op"), true, "", ""},
        {"world", node(0, 0, 0666, "root", "root"), true, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(orvexctl::may_open(c.a), c.may);
        if (c.may) continue;
        std::string advice = orvexctl::access_advice(c.a);
        EXPECT_NE(advice.find(c.says), std::string::npos) << advice;
        EXPECT_EQ(advice.find(c.never), std::string::npos) << advice;
        EXPECT_EQ(advice.find("group root ("), std::string::npos) << advice;
        EXPECT_NE(advice.find("udev rule"), std::string::npos) << advice;
    }
    // root may open anything.
    NodeAccess root = node(0, 0, 0600, "root", "root");
    root.me = 0;
    EXPECT_TRUE(orvexctl::may_open(root));
}

}  // namespace
