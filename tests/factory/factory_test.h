// Shared fixture of the safe-operations library's tests: a fresh default
// camera at /dev/video0, served in this process, reached only through the
// library's C interface; each test has its own scratch folder (backups,
// files) and lock folder.
#ifndef ORVEX_FACTORY_TEST_H
#define ORVEX_FACTORY_TEST_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "OrvexFactory.h"
#include "orvex_test.h"

namespace factory_test {

using json = nlohmann::json;
using Bytes = std::vector<uint8_t>;

// The calibration store's sectors in the virtual camera's flash.
constexpr long kCalib = 0x30000, kCalibEnd = 0x35000;

// One operation's outcome, as a front end sees it.
struct Outcome {
    int status = -1;
    std::string message;
    json doc;
    long address = -1;
};
// Takes status and result of a call (frees the result). The result is
// taken by reference: it is read once the call has filled it in.
Outcome take(int status, OrvexFactoryResult*& r);

class FactoryTest : public orvex_test::CameraTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // A session on /dev/video<index> with the scratch backup folder.
    OrvexFactorySession* session(int index = 0);
    // The whole flash of camera index, as the model holds it.
    Bytes flash(int index = 0);
    void set_flash(const Bytes& image, int index = 0);
    std::string dir;  // scratch folder, removed afterwards
    std::vector<OrvexFactorySession*> sessions;
    std::vector<std::string> notes;
};

}  // namespace factory_test

#endif
