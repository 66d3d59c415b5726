// Choosing a camera the way people name it (a video index, /dev/videoN, a
// /dev/v4l link, serial=S, usb=P) and what the library knows about every
// node, for the station and the messages that name where a camera of ours
// answers.
#include "factory_client.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {

std::string str(const json& j, const char* key) {
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
}

NodeIdentity from_json(const json& u) {
    NodeIdentity n;
    n.index = u.value("index", 0);
    n.node = str(u, "node");
    n.serial = str(u, "serial");
    n.usb_path = str(u, "usb_path");
    std::string id = str(u, "usb_id");
    if (id.find(':') != std::string::npos) {
        n.vendor = id.substr(0, id.find(':'));
        n.product = id.substr(id.find(':') + 1);
    }
    n.driver = str(u, "driver");
    n.by_id = str(u, "by_id");
    n.by_path = str(u, "by_path");
    return n;
}

json find(const std::string& selector, int* index) {
    OrvexFactoryResult* r = nullptr;
    int status = OrvexFactory_FindCamera(selector.c_str(), index, &r);
    json doc = json::parse(OrvexFactory_ResultJson(r), nullptr, false);
    std::string message = OrvexFactory_ResultMessage(r);
    OrvexFactory_ResultFree(r);
    if (status != ORVEX_FACTORY_OK) throw Failure(status, message);
    return doc;
}

}  // namespace

int find_camera(const std::string& selector) {
    int index = 0;
    find(selector, &index);
    return index;
}

NodeIdentity node_identity(int index) {
    int i = index;
    return from_json(find(std::to_string(index), &i).value("usb", json::object()));
}

int resolve_device(const Selector& s) {
    int given = !s.device.empty() + !s.serial.empty() + !s.usb_path.empty();
    if (given > 1) throw Failure(EXIT_USAGE, "choose the camera with one of -d, --serial and --usb-path");
    if (given == 0) return 0;
    std::string selector = !s.serial.empty() ? "serial=" + s.serial : !s.usb_path.empty() ? "usb=" + s.usb_path : s.device;
    int index = 0;
    find(selector, &index);
    return index;
}

std::vector<NodeProbe> probe_nodes() {
    OrvexFactoryResult* r = nullptr;
    OrvexFactory_ListCameras(&r);
    json doc = json::parse(OrvexFactory_ResultJson(r), nullptr, false);
    OrvexFactory_ResultFree(r);
    std::vector<NodeProbe> out;
    for (const json& n : doc.value("nodes", json::array())) {
        NodeProbe p;
        p.id = from_json(n);
        p.opens = n.value("opens", false);
        p.ours = n.value("orvex", false);
        p.doc = n;
        out.push_back(p);
    }
    return out;
}

std::string where_ours_answer(int except) {
    std::string found;
    for (const NodeProbe& p : probe_nodes()) {
        if (!p.ours || p.id.index == except) continue;
        found += (found.empty() ? "" : ", ") + p.id.node;
        if (!p.id.serial.empty()) found += " (serial " + p.id.serial + ")";
    }
    return found.empty() ? "no Orvex camera answers on any video node"
                         : "an Orvex camera answers at " + found;
}

}  // namespace orvexctl
