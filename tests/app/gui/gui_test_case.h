// app/gui/gui_test_case.h -- names the table row a Qt test is checking when a comparison in its
// scope fails (QCOMPARE and QVERIFY return from the test, which ends the scope).
#pragma once

#include <QTest>
#include <QtGlobal>

namespace kelvane::gui::test {

class CaseName {
 public:
  explicit CaseName(const char* name) : name_(name) {}
  ~CaseName() {
    if (QTest::currentTestFailed()) qWarning("in the case \"%s\"", name_);
  }
  CaseName(const CaseName&) = delete;
  CaseName& operator=(const CaseName&) = delete;

 private:
  const char* name_;
};

}  // namespace kelvane::gui::test
