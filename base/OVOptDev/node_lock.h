// The per-camera lock held by each exported operation (node_lock.cpp).
#ifndef ORVEX_OVOPTDEV_NODE_LOCK_H
#define ORVEX_OVOPTDEV_NODE_LOCK_H

void orvex_node_lock_open(const char* devPath);
void orvex_node_lock_close();

class OrvexNodeLock {
public:
    OrvexNodeLock();
    ~OrvexNodeLock();
    OrvexNodeLock(const OrvexNodeLock&) = delete;
    OrvexNodeLock& operator=(const OrvexNodeLock&) = delete;
};

// The first line of every exported operation.
#define ORVEX_ONE_PROCESS_AT_A_TIME() OrvexNodeLock orvex_node_lock_guard_

#endif
