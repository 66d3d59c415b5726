#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

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

std::recursive_mutex& model_lock() {
    static std::recursive_mutex* m = [] {
        auto* lock = new std::recursive_mutex;  // outlives every exit handler
        pthread_atfork([] { model_lock().lock(); }, [] { model_lock().unlock(); },
                       [] { model_lock().unlock(); });
        return lock;
    }();
    return *m;
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
