// WorkbenchTest: the real TWorkbench shown in the tests' X server, with the helpers that drive it
// by keys and clicks (typing into a field, binding with Ctrl+B, waiting for a connection's state,
// finding and clicking a row of the traffic table, answering the save dialog).
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <memory>

#include "app/workbench/ClientRunner.h"
#include "app/workbench/TrafficModel.h"
#include "app/workbench/Workbench.h"
#include "gtest/gtest.h"

class WorkbenchTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(); }
  void TearDown() override {
    Wb.reset();
    TClientRunner::JoinFinished();
  }
  void Open() {
    Wb = std::make_unique<TWorkbench>();
    Wb->show();
    Wb->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Wb.get()));
  }
  static void Type(QLineEdit* Edit, const QString& Text) {
    QTest::mouseClick(Edit, Qt::LeftButton);
    QTest::keyClick(Edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(Edit, Qt::Key_Delete);
    QTest::keyClicks(Edit, Text);
  }
  // Fills the panel and presses Ctrl+B while the system id field has the focus.
  void BindWithKeys(uint16_t Port, int Mode) {
    Type(Wb->Port, QString::number(Port));
    Wb->BindMode->setCurrentIndex(Mode);
    Type(Wb->SystemId, "wbuser");
    QTest::keyClick(Wb->SystemId, Qt::Key_B, Qt::ControlModifier);
    EXPECT_EQ(Wb->SystemId->text(), "wbuser");  // the key did not reach the field
  }
  QString State(TPduConnection C) { return Wb->StateLabels[static_cast<int>(C)]->text(); }
  bool WaitForState(TPduConnection C, const QString& Text, int TimeoutMs = 10000) {
    return QTest::qWaitFor([&] { return State(C) == Text; }, TimeoutMs);
  }
  // The first row of the table (as filtered) whose command is Command, or -1.
  int RowOf(const QString& Command) {
    const QAbstractItemModel* M = Wb->Table->model();
    for (int R = 0; R < M->rowCount(); ++R)
      if (M->index(R, TTrafficModel::cCommand).data().toString() == Command) return R;
    return -1;
  }
  void ClickCell(int Row, int Column, Qt::KeyboardModifiers Keys = {}) {
    const QModelIndex I = Wb->Table->model()->index(Row, Column);
    Wb->Table->scrollTo(I);
    QTest::mouseClick(Wb->Table->viewport(), Qt::LeftButton, Keys,
                      Wb->Table->visualRect(I).center());
  }
  // Presses Ctrl+S in a line edit and answers the save dialog with Path and the file type Type.
  void SaveWithDialog(const QString& Path, const QString& Type) {
    QTimer::singleShot(0, [&] {
      (void)QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
      if (auto* Dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
        Dialog->selectNameFilter(Type);
        Dialog->selectFile(Path);
        static_cast<QDialog*>(Dialog)->accept();  // QFileDialog::accept, through the base
      }
    });
    QTest::keyClick(Wb->SystemType, Qt::Key_S, Qt::ControlModifier);
  }
  QString Cell(int Row, int Column) {
    return Wb->Table->model()->index(Row, Column).data().toString();
  }

  std::unique_ptr<TWorkbench> Wb;
};
