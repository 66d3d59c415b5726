#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <new>

#include "device_client.h"
#include "internal.h"

namespace vcam {
namespace {

struct Registry {
    std::map<int, std::unique_ptr<Camera>> cameras;
    std::map<int, int> fd_to_index;          // open descriptors
    std::map<int, std::string> state_files;  // index -> flash image file
    ~Registry() { persist_all(); }
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

namespace {

std::recursive_mutex* g_model_lock;

// Fork: the prepare handler waits until no other thread is inside the model
// or a device call, so the child's copy is consistent. The child cannot
// unlock what the parent's thread locked (a mutex belongs to the thread that
// took it, and the child's only thread is another one), so it starts from
// fresh locks instead; then it takes its own share of the descriptors it
// inherited (device_client.h).
void before_fork() {
    connection_before_fork();
    g_model_lock->lock();
}

void after_fork_in_parent() {
    g_model_lock->unlock();
    connection_after_fork(false);
}

void after_fork_in_child() {
    // Reusing the storage ends the old, locked mutex's life without running
    // its destructor (which would be undefined on a locked mutex).
    new (g_model_lock) std::recursive_mutex;
    connection_after_fork(true);
}

}  // namespace

std::recursive_mutex& model_lock() {
    static std::recursive_mutex* m = [] {
        g_model_lock = new std::recursive_mutex;  // outlives every exit handler
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        return g_model_lock;
    }();
    return *m;
}

std::vector<int> bound_indexes() {
    std::lock_guard<std::recursive_mutex> g(model_lock());
    std::vector<int> out;
    for (auto& e : registry().fd_to_index) out.push_back(e.second);
    return out;
}

Camera& attach(int index, const Profile& profile) {
    auto& r = registry();
    r.cameras[index] = std::make_unique<Camera>(index, profile);
    return *r.cameras[index];
}

void detach(int index) { registry().cameras.erase(index); }

Camera* camera(int index) {
    auto& r = registry();
    auto it = r.cameras.find(index);
    return it == r.cameras.end() ? nullptr : it->second.get();
}

Camera* metadata_node_of(int index) {
    if (index <= 0 || camera(index)) return nullptr;
    Camera* video = camera(index - 1);
    return video && video->profile().metadata_node ? video : nullptr;
}

std::vector<int> camera_indexes() {
    std::vector<int> out;
    for (auto& c : registry().cameras) out.push_back(c.first);
    return out;
}

void reset() {
    auto& r = registry();
    r.cameras.clear();
    r.fd_to_index.clear();
    r.state_files.clear();
    trace().clear();
    reset_clock();
}

int open_descriptor_count() {
    std::lock_guard<std::recursive_mutex> g(model_lock());
    return static_cast<int>(registry().fd_to_index.size());
}

Camera* camera_for_fd(int fd) {
    std::lock_guard<std::recursive_mutex> g(model_lock());
    auto& r = registry();
    auto it = r.fd_to_index.find(fd);
    if (it == r.fd_to_index.end()) return nullptr;
    return camera(it->second);
}

bool is_virtual_fd(int fd) {
    std::lock_guard<std::recursive_mutex> g(model_lock());
    return registry().fd_to_index.count(fd) != 0;
}

int index_for_fd(int fd) {
    std::lock_guard<std::recursive_mutex> g(model_lock());
    auto& r = registry();
    auto it = r.fd_to_index.find(fd);
    return it == r.fd_to_index.end() ? -1 : it->second;
}

int descriptors_of(int index) {
    std::lock_guard<std::recursive_mutex> g(model_lock());
    int n = 0;
    for (auto& e : registry().fd_to_index)
        if (e.second == index) ++n;
    return n;
}

void bind_fd(int fd, int index) {
    std::lock_guard<std::recursive_mutex> g(model_lock());
    registry().fd_to_index[fd] = index;
}

void unbind_fd(int fd) {
    std::lock_guard<std::recursive_mutex> g(model_lock());
    registry().fd_to_index.erase(fd);
}

void set_state_file(int index, const std::string& path) { registry().state_files[index] = path; }

void persist_all() {
    for (auto& c : registry().cameras)
        if (c.second) persist(*c.second);
}

void persist(Camera& cam) {
    auto& r = registry();
    auto it = r.state_files.find(cam.index());
    if (it == r.state_files.end() || it->second.empty()) return;
    if (!cam.save_state(it->second))
        std::fprintf(stderr, "orvex-vcam: cannot save flash image to %s\n", it->second.c_str());
}

}  // namespace vcam
