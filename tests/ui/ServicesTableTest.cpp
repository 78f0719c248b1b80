#include "WindowFixture.h"
#include "settings/Service.h"

namespace quellbox::testing {
namespace {

class ServicesTable : public WindowFixture {
protected:
    QLineEdit* openEditor() {
        for (auto* editor : ui().portTableView->viewport()->findChildren<QLineEdit*>()) {
            if (editor->isVisible()) {
                return editor;
            }
        }
        return nullptr;
    }
    // Types `text` into the open editor and presses Return, as a user does.
    void typeIntoEditor(const QString& text) {
        QLineEdit* editor = openEditor();
        ASSERT_NE(editor, nullptr);
        editor->selectAll();
        QTest::keyClicks(editor, text);
        QTest::keyClick(editor, Qt::Key_Return);
        processPendingEvents();
    }
    int editedColumn() {
        QTableView* view = ui().portTableView;
        return openEditor() != nullptr ? view->currentIndex().column() : -1;
    }
    int selectedRow() { return testing::selectedRow(*ui().portTableView); }
};

TEST_F(ServicesTable, ANewRowIsNamedThenGivenAPortAndRefusesDuplicatesAndBadPortsInBetween) {
    storeServices({"Server", "Web"}, {6700, 80}, {false, false});
    start();
    QTest::mouseClick(ui().addPortButton, Qt::LeftButton);
    processPendingEvents();
    ASSERT_EQ(controller().numberOfRowsInTableView(), 3);
    EXPECT_EQ(selectedRow(), 2);
    ASSERT_EQ(editedColumn(), ServicesTableModel::columnWithIdentifier("Service"));
    EXPECT_EQ(openEditor()->selectedText(), "Service");
    EXPECT_EQ(storedNumbers(keys::activatedULServices), (std::vector<long long>{0, 0, 0}));

    // A second new row is refused while this one has no port.
    controller().addPort();
    processPendingEvents();
    EXPECT_EQ(controller().numberOfRowsInTableView(), 3);
    EXPECT_EQ(presenter().beeps, 1);

    typeIntoEditor("Server");
    EXPECT_EQ(presenter().beeps, 2);
    EXPECT_FALSE(controller().canSelectAnotherRow());
    EXPECT_EQ(editedColumn(), ServicesTableModel::columnWithIdentifier("Service"));
    EXPECT_EQ(controller().servicesArray()[2]->name(), "Service");
    EXPECT_EQ(storedTexts(keys::servicesNameArray), (std::vector<std::string>{"Server", "Web"}));

    typeIntoEditor("Files");
    EXPECT_EQ(presenter().beeps, 2) << "moving to the port cell does not beep";
    EXPECT_EQ(editedColumn(), ServicesTableModel::columnWithIdentifier("Port"));
    EXPECT_FALSE(controller().canSelectAnotherRow());
    EXPECT_EQ(storedTexts(keys::servicesNameArray),
              (std::vector<std::string>{"Server", "Web", "Files"}));

    // Clicking another row beeps and keeps the selection and the editing on the new row.
    const QRect other = ui().portTableView->visualRect(cell(0, "Service"));
    QTest::mouseClick(ui().portTableView->viewport(), Qt::LeftButton, {}, other.center());
    processPendingEvents();
    int beeps = presenter().beeps;
    EXPECT_GT(beeps, 2);
    EXPECT_EQ(selectedRow(), 2);
    EXPECT_EQ(ui().portTableView->currentIndex().row(), 2);
    ASSERT_EQ(editedColumn(), ServicesTableModel::columnWithIdentifier("Port"));

    for (const char* bad : {"0", "-5", "abc", "80"}) {
        typeIntoEditor(bad);
        EXPECT_EQ(presenter().beeps, ++beeps) << bad;
        EXPECT_EQ(editedColumn(), ServicesTableModel::columnWithIdentifier("Port")) << bad;
        EXPECT_EQ(controller().servicesArray()[2]->servicePort(), 0) << bad;
        EXPECT_EQ(storedNumbers(keys::servicesPortArray), (std::vector<long long>{6700, 80}))
            << bad;
    }
    typeIntoEditor("21abc");  // the number at the start counts, as in a number field
    EXPECT_TRUE(controller().canSelectAnotherRow());
    EXPECT_EQ(controller().servicesArray()[2]->servicePort(), 21);
    EXPECT_EQ(storedNumbers(keys::servicesPortArray), (std::vector<long long>{6700, 80, 21}));

    // Renaming a complete row to another row's name is refused too.
    controller().tableModel().setData(cell(1, "Service"), "Files", Qt::EditRole);
    EXPECT_EQ(controller().servicesArray()[1]->name(), "Web");
    EXPECT_FALSE(controller().canSelectAnotherRow());
    controller().tableModel().setData(cell(1, "Service"), "WWW", Qt::EditRole);
    EXPECT_EQ(storedTexts(keys::servicesNameArray),
              (std::vector<std::string>{"Server", "WWW", "Files"}));
}

TEST_F(ServicesTable, CapsFollowTheRowsDlSwitchesUlOnUlOffSwitchesDlOffNewRowsStayUncapped) {
    storeServices({"Server", "Web"}, {6700, 80}, {false, false});
    start();
    clickCheckBox(1, "Dl");
    const Service& web = *controller().servicesArray()[1];
    EXPECT_TRUE(web.downloadIsCapped());
    EXPECT_TRUE(engine().isCappedUL(80));
    EXPECT_TRUE(engine().isCappedDL(80));
    EXPECT_EQ(controller().uploadCappedServicesPort(), std::vector<int>{80});
    EXPECT_EQ(controller().downloadCappedServicesPort(), std::vector<int>{80});
    EXPECT_EQ(storedNumbers(keys::activatedULServices), (std::vector<long long>{0, 1}));
    // A capped row's name and port cannot be edited.
    EXPECT_FALSE(controller().tableModel().flags(cell(1, "Port")) & Qt::ItemIsEditable);
    EXPECT_TRUE(controller().tableModel().flags(cell(0, "Port")) & Qt::ItemIsEditable);

    clickCheckBox(1, "Ul");
    EXPECT_FALSE(web.uploadIsCapped());
    EXPECT_FALSE(web.downloadIsCapped());
    EXPECT_TRUE(controller().uploadCappedServicesPort().empty());
    EXPECT_TRUE(controller().downloadCappedServicesPort().empty());
    EXPECT_EQ(storedNumbers(keys::activatedULServices), (std::vector<long long>{0, 0}));
    EXPECT_EQ(firewallRules(), 0U);

    // A new row cannot be capped; removed rows take their caps and stored entries along.
    controller().addPort();
    processPendingEvents();
    EXPECT_FALSE(controller().toggleUlService(2));
    EXPECT_FALSE(controller().toggleDlService(2));
    EXPECT_FALSE(controller().servicesArray()[2]->uploadIsCapped());
    controller().tableModel().setData(cell(2, "Service"), "Named", Qt::EditRole);
    ASSERT_EQ(storedTexts(keys::servicesNameArray),
              (std::vector<std::string>{"Server", "Web", "Named"}));
    controller().removePort();  // the new row, named but without a port
    EXPECT_EQ(controller().numberOfRowsInTableView(), 2);
    EXPECT_TRUE(controller().canSelectAnotherRow());
    EXPECT_EQ(storedTexts(keys::servicesNameArray), (std::vector<std::string>{"Server", "Web"}));
    EXPECT_EQ(storedNumbers(keys::activatedULServices), (std::vector<long long>{0, 0}));

    ui().portTableView->selectRow(0);
    ASSERT_EQ(selectedRow(), 0);
    ASSERT_TRUE(controller().toggleDlService(0));
    ASSERT_TRUE(engine().isCappedUL(6700));
    controller().removePort();
    EXPECT_EQ(controller().numberOfRowsInTableView(), 1);
    EXPECT_FALSE(engine().isCappedUL(6700));
    EXPECT_FALSE(engine().isCappedDL(6700));
    EXPECT_EQ(storedTexts(keys::servicesNameArray), std::vector<std::string>{"Web"});
    EXPECT_EQ(storedNumbers(keys::servicesPortArray), std::vector<long long>{80});
    EXPECT_EQ(storedNumbers(keys::activatedULServices), std::vector<long long>{0});
}

}  // namespace
}  // namespace quellbox::testing
