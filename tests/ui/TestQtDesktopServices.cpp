#include "ui/QtDesktopServices.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

namespace
{

QList<QMessageBox *> openBoxes()
{
    QList<QMessageBox *> boxes;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            boxes << box;
    }
    return boxes;
}

} // namespace

class TestQtDesktopServices : public QObject
{
    Q_OBJECT

private slots:
    void sameBoxIsNotStackedAndAnswersEveryCaller()
    {
        QtDesktopServices desktop;
        desktop.setDefaultCaption([] { return QStringLiteral("Line1 Socket-Server"); });
        QList<DesktopServices::Answer> first, second, other;
        const DesktopServices::MessageBox box{
            QStringLiteral("Logging disabled"), {}, DesktopServices::Buttons::OkCancel};
        desktop.showMessage(box, [&](DesktopServices::Answer a) { first << a; });
        desktop.showMessage(box, [&](DesktopServices::Answer a) { second << a; });
        desktop.showMessage({QStringLiteral("Wrong Filename :a.txt"), QStringLiteral("Cap")},
                            [&](DesktopServices::Answer a) { other << a; });
        // Returned at once, without waiting for anybody.
        QVERIFY(first.isEmpty() && second.isEmpty());
        QList<QMessageBox *> boxes = openBoxes();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(desktop.openMessageCount(), 2);

        QMessageBox *logging = boxes.first()->text() == box.text ? boxes.first() : boxes.last();
        QCOMPARE(logging->windowTitle(), QStringLiteral("Line1 Socket-Server"));
        QTest::mouseClick(logging->button(QMessageBox::Cancel), Qt::LeftButton);
        QCOMPARE(first, QList{DesktopServices::Answer::Cancel});
        QCOMPARE(second, QList{DesktopServices::Answer::Cancel});
        QVERIFY(other.isEmpty());

        // Once answered, the same text shows a new box.
        desktop.showMessage(box, [&](DesktopServices::Answer a) { first << a; });
        QCOMPARE(openBoxes().size(), 2);
        for (QMessageBox *open : openBoxes())
            QTest::mouseClick(open->button(QMessageBox::Ok), Qt::LeftButton);
        QCOMPARE(first.last(), DesktopServices::Answer::Ok);
        QCOMPARE(other, QList{DesktopServices::Answer::Ok});
        QTRY_VERIFY(openBoxes().isEmpty());
        QCOMPARE(desktop.openMessageCount(), 0);
    }
};

QTEST_MAIN(TestQtDesktopServices)
#include "TestQtDesktopServices.moc"
