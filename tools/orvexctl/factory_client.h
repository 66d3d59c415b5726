// orvexctl as a client of libOrvexFactory: one session per command on the
// chosen camera, with the library's notes shown as the tool's and its
// progress drawn as the tool's bars. A failed operation ends the command
// with the library's status as exit code and its message.
#ifndef ORVEXCTL_FACTORY_CLIENT_H
#define ORVEXCTL_FACTORY_CLIENT_H

#include <functional>
#include <memory>

#include "OrvexFactory.h"
#include "orvexctl.h"

namespace orvexctl {

class FactorySession {
public:
    FactorySession();  // on g_opt.device, with the global options
    ~FactorySession();
    FactorySession(const FactorySession&) = delete;
    FactorySession& operator=(const FactorySession&) = delete;
    OrvexFactorySession* get() { return s_; }
    // Called when an operation starts a phase, before its bar is drawn.
    void on_phase(std::function<void(const char* phase)> fn);

    // Takes an operation's status and result (by reference: read once the
    // call has stored it): its JSON on success; throws
    // Failure with the status and message otherwise.
    json take(int status, OrvexFactoryResult*& r);
    // The same, but returns the status and JSON of a failed operation too
    // (for commands whose result says what differs, such as flash verify).
    int take_any(int status, OrvexFactoryResult*& r, json* doc, std::string* message);

    struct Bars;  // the progress bars of the phases the library reports

    struct Bars;  // the progress bars the library's callback draws

private:
    OrvexFactorySession* s_ = nullptr;
    std::unique_ptr<Bars> bars_;
};

// Throws a usage error naming the valid flash types unless the library
// takes NAME ("auto" included).
void check_flash_type(const std::string& name);

}  // namespace orvexctl

#endif
