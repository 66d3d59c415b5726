#include "factory_test.h"

#include <stdlib.h>
#include <unistd.h>

namespace factory_test {

Outcome take(int status, OrvexFactoryResult*& r) {
    Outcome o;
    o.status = status;
    EXPECT_EQ(OrvexFactory_ResultStatus(r), status);
    o.message = OrvexFactory_ResultMessage(r);
    o.doc = json::parse(OrvexFactory_ResultJson(r), nullptr, false);
    EXPECT_FALSE(o.doc.is_discarded()) << OrvexFactory_ResultJson(r);
    o.address = OrvexFactory_ResultAddress(r);
    OrvexFactory_ResultFree(r);
    return o;
}

void FactoryTest::SetUp() {
    CameraTest::SetUp();
    char tmpl[] = "/tmp/orvex-factory-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("ORVEX_LOCK_DIR", dir.c_str(), 1);
}

void FactoryTest::TearDown() {
    for (OrvexFactorySession* s : sessions) OrvexFactory_Free(s);
    sessions.clear();
    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir;
    CameraTest::TearDown();
}

OrvexFactorySession* FactoryTest::session(int index) {
    OrvexFactorySession* s = OrvexFactory_New(index);
    EXPECT_NE(s, nullptr);
    OrvexFactory_SetBackupDir(s, (dir + "/backups").c_str());
    OrvexFactory_SetWait(s, 0);
    OrvexFactory_SetLog(
        s, [](void* self, int, const char* m) { static_cast<FactoryTest*>(self)->notes.push_back(m); }, this);
    sessions.push_back(s);
    return s;
}

Bytes FactoryTest::flash(int index) { return vcam::camera(index)->flash(); }

void FactoryTest::set_flash(const Bytes& image, int index) {
    Bytes& f = vcam::camera(index)->flash();
    f = image;
    f.resize(0x40000, 0xFF);
}

}  // namespace factory_test
