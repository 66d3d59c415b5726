// doctor's advice on a node the user may not open (node_access.h).
#include "node_access.h"

#include <cstdio>

namespace orvexctl {

bool may_open(const NodeAccess& a) {
    return a.me == 0 || (a.owner == a.me && (a.mode & 0600) == 0600) || (a.in_group && (a.mode & 0060) == 0060) ||
           (a.mode & 0006) == 0006;
}

std::string access_advice(const NodeAccess& a) {
    // The shipped rule gives group video read and write on every camera of
    // ours, whoever owns the node now.
    const std::string rule = "install the udev rule below (group video, mode 0660), then plug the camera in again";
    if (a.owner == a.me && (a.mode & 0600) != 0600)
        return "the node is yours but not read-write for you: chmod u+rw it, or " + rule;
    // Joining the node's group helps only where the group may read and
    // write, and the root group is no group to join for a camera.
    if ((a.mode & 0060) == 0060 && a.group != 0 && !a.in_group)
        return "join group " + a.group_name + " (adduser " + a.my_name + " " + a.group_name +
               ", then log in again), or " + rule;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(a.mode & 07777));
    std::string who = (a.mode & 0060) == 0060 ? "owner " + a.owner_name + " and group " + a.group_name
                                              : "owner " + a.owner_name;
    return "only its " + who + " may open it (mode " + mode + "): " + rule;
}

}  // namespace orvexctl
