#include "gui/u_Forms.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>
#include <QtEndian>

namespace {
const QString Key = QStringLiteral("Software\\Norvane\\Leafpress\\FormsTest");

// A form with a left pane on a horizontal splitter, a bottom pane on a vertical splitter
// inside the right pane, pages and a box that takes the focus.
struct TLayoutForm {
  QWidget Form;
  QSplitter* Left;
  QSplitter* Bottom;
  QWidget* LeftPane;
  QWidget* BottomPane;
  QTabWidget* Pages;
  QLineEdit* Box;

  TLayoutForm() {
    auto* layout = new QVBoxLayout(&Form);
    Left = new QSplitter(Qt::Horizontal);
    Left->setObjectName("splLeft");
    LeftPane = new QWidget;
    auto* right = new QWidget;
    Left->addWidget(LeftPane);
    Left->addWidget(right);
    Left->setStretchFactor(1, 1);
    auto* rightLayout = new QVBoxLayout(right);
    Bottom = new QSplitter(Qt::Vertical);
    Bottom->setObjectName("splBottom");
    Pages = new QTabWidget;
    Pages->setObjectName("pcPages");
    for (const char* page : {"One", "Two", "Three"})
      Pages->addTab(new QWidget, page);
    BottomPane = new QWidget;
    Bottom->addWidget(Pages);
    Bottom->addWidget(BottomPane);
    Bottom->setStretchFactor(0, 1);
    rightLayout->addWidget(Bottom);
    layout->addWidget(Left);
    Box = new QLineEdit;
    Box->setObjectName("edtBox");
    layout->addWidget(Box);
    // Inside the offscreen platform's 800 x 600 screen.
    Form.setGeometry(20, 30, 600, 400);
  }

  void Show() {
    Form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Form));
  }
};

QSettings StateSettings() {
  return QSettings(FormStateFileName(Key), QSettings::IniFormat);
}

int32_t FieldAt(const QByteArray& record, int offset) {
  return qFromLittleEndian<int32_t>(record.constData() + offset);
}
} // namespace

class TestForms : public QObject {
  Q_OBJECT

  QTemporaryDir FConfig;

private slots:
  void initTestCase() {
    QVERIFY(FConfig.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(FConfig.path()));
  }

  void init() { QFile::remove(FormStateFileName(Key)); }

  void KeyPathNamesAFileInTheConfigFolder() {
    QCOMPARE(FormStateFileName("Software\\Norvane\\Leafpress\\Folioset"),
             FConfig.path() + "/Norvane/Leafpress/Folioset.conf");
  }

  void PlacementRecordHasTheWindowsLayout() {
    TWindowPlacement placement;
    placement.ShowCmd = TWindowPlacement::SwShowMaximized;
    placement.NormalPosition = QRect(10, -20, 300, 200);
    const QByteArray record = placement.ToBytes();
    QCOMPARE(record.size(), 44);
    QCOMPARE(FieldAt(record, 0), 44);
    QCOMPARE(FieldAt(record, 4), 0);
    QCOMPARE(FieldAt(record, 8), 3);
    for (int offset = 12; offset < 28; offset += 4)
      QCOMPARE(FieldAt(record, offset), -1);
    QCOMPARE(FieldAt(record, 28), 10);
    QCOMPARE(FieldAt(record, 32), -20);
    QCOMPARE(FieldAt(record, 36), 310);
    QCOMPARE(FieldAt(record, 40), 180);

    const std::optional<TWindowPlacement> back = TWindowPlacement::FromBytes(record);
    QVERIFY(back);
    QCOMPARE(back->ShowCmd, TWindowPlacement::SwShowMaximized);
    QCOMPARE(back->NormalPosition, placement.NormalPosition);
    QVERIFY(!TWindowPlacement::FromBytes(record.left(43)));
    QVERIFY(!TWindowPlacement::FromBytes(record + '\0'));
  }

  void DamagedPlacementGivesNoNegativeOrHugeSize() {
    QByteArray record = TWindowPlacement().ToBytes();
    qToLittleEndian<int32_t>(INT32_MAX, record.data() + 28);
    qToLittleEndian<int32_t>(INT32_MIN, record.data() + 36);
    qToLittleEndian<int32_t>(INT32_MIN, record.data() + 32);
    qToLittleEndian<int32_t>(INT32_MAX, record.data() + 40);
    const std::optional<TWindowPlacement> placement = TWindowPlacement::FromBytes(record);
    QVERIFY(placement);
    QCOMPARE(placement->NormalPosition.width(), 0);
    QVERIFY(placement->NormalPosition.height() > 0);
    QVERIFY(placement->NormalPosition.height() <= INT_MAX / 2);
  }

  void PlacementIsKeptOnTheNearestScreen() {
    const QRect first(0, 0, 1920, 1080), second(1920, 0, 1280, 1024);
    const QList<QRect> both = {first, second};
    // Fits a screen: unchanged.
    QCOMPARE(PlaceOnNearestScreen(QRect(100, 100, 600, 400), both), QRect(100, 100, 600, 400));
    QCOMPARE(PlaceOnNearestScreen(QRect(2000, 100, 600, 400), both), QRect(2000, 100, 600, 400));
    // The second monitor removed: the window comes to the first one's edge.
    QCOMPARE(PlaceOnNearestScreen(QRect(2000, 100, 600, 400), {first}), QRect(1320, 100, 600, 400));
    // A smaller display: moved in and shrunk to fit.
    QCOMPARE(PlaceOnNearestScreen(QRect(500, 300, 1600, 1000), {QRect(0, 0, 1024, 768)}),
             QRect(0, 0, 1024, 768));
    // Across two screens: onto the one it covers most.
    QCOMPARE(PlaceOnNearestScreen(QRect(1800, 100, 600, 400), both), QRect(1920, 100, 600, 400));
    // Far out of sight: onto the nearest.
    QCOMPARE(PlaceOnNearestScreen(QRect(2500, -5000, 600, 400), both), QRect(2500, 0, 600, 400));
    QCOMPARE(PlaceOnNearestScreen(QRect(-900, 500, 600, 400), both), QRect(0, 500, 600, 400));
  }

  void SplittersAndPagesAreRecordedInWalkOrder() {
    TLayoutForm layout;
    layout.Show();
    layout.Left->setSizes({180, 400});
    layout.Bottom->setSizes({300, 140});
    layout.Pages->setCurrentIndex(2);
    // Children come before their parents: the bottom splitter sits inside the left one.
    QCOMPARE(GetSplittersData(&layout.Form), QString("splBottom=%1;splLeft=%2")
                                                 .arg(layout.BottomPane->height())
                                                 .arg(layout.LeftPane->width()));
    QCOMPARE(layout.LeftPane->width(), 180);
    QCOMPARE(GetPageControlsData(&layout.Form), QString("pcPages=2"));
    QCOMPARE(FindSplitControl(layout.Left), layout.LeftPane);
    QCOMPARE(FindSplitControl(layout.Bottom), layout.BottomPane);

    layout.LeftPane->hide();
    QCOMPARE(FindSplitControl(layout.Left), nullptr);
    QVERIFY(!GetSplittersData(&layout.Form).contains("splLeft"));
  }

  void BadSplitterEntriesAreSkipped() {
    TLayoutForm layout;
    layout.Show();
    const int bottomEdge = layout.BottomPane->geometry().bottom();
    SetSplittersData(&layout.Form,
                     " splLeft = 150 ; nosuch=80; splBottom=-5; splBottom=abc; =7; splBottom=120");
    QCOMPARE(layout.LeftPane->width(), 150);
    QCOMPARE(layout.BottomPane->height(), 120);
    QCOMPARE(layout.BottomPane->geometry().bottom(), bottomEdge);

    // Names match with case; an empty entry ends the list.
    SetSplittersData(&layout.Form, "SPLLEFT=70;splLeft=90;;splBottom=60");
    QCOMPARE(layout.LeftPane->width(), 90);
    QCOMPARE(layout.BottomPane->height(), 120);
  }

  void PageEntries() {
    TLayoutForm layout;
    SetPageControlsData(&layout.Form, "pcPages=x;pcPages=2");
    QCOMPARE(layout.Pages->currentIndex(), 2);
    SetPageControlsData(&layout.Form, "pcpages=1");
    QCOMPARE(layout.Pages->currentIndex(), 2);
  }

  void ControlsAreFoundByNameParentFirst() {
    QWidget form;
    auto* outer = new QWidget(&form);
    outer->setObjectName("Box");
    auto* inner = new QWidget(outer);
    inner->setObjectName("box");
    QCOMPARE(FindControlByName(&form, "BOX"), outer);
    QCOMPARE(FindControlByName(outer, "BOX"), inner);
    QCOMPARE(FindControlByName(&form, "nothing"), nullptr);
  }

  void FirstStartCentresOnThePrimaryScreen() {
    QWidget form;
    form.setGeometry(5, 6, 401, 301);
    RestoreFormState(Key, &form);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(form.pos(), QPoint(screen.left() + (screen.width() - 401) / 2,
                                screen.top() + (screen.height() - 301) / 2));
    QVERIFY(!QFile::exists(FormStateFileName(Key)));
  }

  void SaveWritesTheChosenValues() {
    TLayoutForm layout;
    layout.Show();
    layout.Box->setFocus();
    SaveFormState(Key, &layout.Form, fsSizeAndPos | fsSplitters,
                  [](QWidget*, QString& text) { text = "never"; });
    {
      QSettings settings = StateSettings();
      QCOMPARE(settings.value("SizeAndPos").toByteArray().size(), 44);
      QCOMPARE(settings.value("SplittersData").toString(), GetSplittersData(&layout.Form));
      QCOMPARE(settings.value("PageControlsData").toString(), QString());
      QCOMPARE(settings.value("ActiveControl").toString(), QString());
      QVERIFY(!settings.contains("ExtInfo"));
    }
    SaveFormState(Key, &layout.Form, fsPageControls | fsActiveControl | fsExtInfo,
                  [&](QWidget* form, QString& text) {
                    QCOMPARE(form, &layout.Form);
                    QVERIFY(text.isEmpty());
                    text = "own text";
                  });
    QSettings settings = StateSettings();
    QCOMPARE(settings.value("SizeAndPos").toByteArray().size(), 0);
    QCOMPARE(settings.value("SplittersData").toString(), QString());
    QCOMPARE(settings.value("PageControlsData").toString(), QString("pcPages=0"));
    QCOMPARE(settings.value("ActiveControl").toString(), QString("edtBox"));
    QCOMPARE(settings.value("ExtInfo").toString(), QString("own text"));
  }

  void RestorePutsEverythingBack() {
    QRect savedGeometry;
    {
      TLayoutForm layout;
      layout.Form.setGeometry(40, 50, 500, 380);
      layout.Show();
      layout.Left->setSizes({210, 400});
      layout.Pages->setCurrentIndex(1);
      layout.Box->setFocus();
      savedGeometry = layout.Form.geometry();
      SaveFormState(Key, &layout.Form, 31, [](QWidget*, QString& text) { text = "extra"; });
    }
    // Restored when shown, as a window does it.
    TLayoutForm layout;
    layout.Show();
    QString extInfo;
    RestoreFormState(Key, &layout.Form, [&](QWidget*, const QString& text) { extInfo = text; });
    QCOMPARE(layout.Form.geometry(), savedGeometry);
    QCOMPARE(layout.LeftPane->width(), 210);
    QCOMPARE(layout.Pages->currentIndex(), 1);
    QCOMPARE(layout.Form.focusWidget(), layout.Box);
    QCOMPARE(extInfo, QString("extra"));
  }

  void OddPlacementValues_data() {
    QTest::addColumn<QVariant>("sizeAndPos");
    QTest::addColumn<bool>("restoreGoesOn");
    QTest::newRow("short record is ignored") << QVariant(QByteArray(20, '\1')) << true;
    QTest::newRow("empty record is ignored") << QVariant(QByteArray()) << true;
    QTest::newRow("long record ends the restore") << QVariant(QByteArray(45, '\1')) << false;
    QTest::newRow("text ends the restore") << QVariant(QString("placement")) << false;
  }

  void OddPlacementValues() {
    QFETCH(QVariant, sizeAndPos);
    QFETCH(bool, restoreGoesOn);
    {
      QSettings settings = StateSettings();
      settings.setValue("SizeAndPos", sizeAndPos);
      settings.setValue("SplittersData", "splLeft=130");
    }
    TLayoutForm layout;
    layout.Show();
    RestoreFormState(Key, &layout.Form);
    // The form keeps its designed place: it is not centred either, since the key exists.
    QCOMPARE(layout.Form.geometry(), QRect(20, 30, 600, 400));
    QCOMPARE(layout.LeftPane->width() == 130, restoreGoesOn);
  }
};

QTEST_MAIN(TestForms)
#include "test_Forms.moc"
