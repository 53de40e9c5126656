#include "gui/u_Version.h"

#include <QTest>

class TestVersion : public QObject {
  Q_OBJECT

private slots:
  void BuildCarriesItsVersion() { QCOMPARE(GetVersionText(0, 4), std::string("1.0.0.1")); }

  void TextOfPartsOfTheVersion() {
    const TFileVersion version = {7, 12, 0, 65535};
    QCOMPARE(VersionText(version, 0, 1), std::string("7"));
    QCOMPARE(VersionText(version, 1, 3), std::string("12.0.65535"));
    QCOMPARE(VersionText(version, 2, 0), std::string());
  }

  void MissingVersionStillGivesFourNumbers() {
    QCOMPARE(VersionText(TFileVersion{}, 0, 4), std::string("0.0.0.0"));
  }
};

QTEST_GUILESS_MAIN(TestVersion)
#include "test_Version.moc"
