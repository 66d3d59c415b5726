// doctor's reading of a video node's owner, group and mode: whether the
// user may open it read-write and, if not, what would let them.
#ifndef ORVEXCTL_NODE_ACCESS_H
#define ORVEXCTL_NODE_ACCESS_H

#include <sys/types.h>

#include <string>

namespace orvexctl {

struct NodeAccess {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;  // permission bits
    std::string owner_name, group_name;
    uid_t me = 0;
    std::string my_name;
    bool in_group = false;  // the user is a member of the node's group
};

// Whether the user may open the node read-write.
bool may_open(const NodeAccess& a);
// What to do when may_open is false: advice that fits the node's owner and
// mode (joining a group only where that group may read and write, and
// never the root group).
std::string access_advice(const NodeAccess& a);

}  // namespace orvexctl

#endif
