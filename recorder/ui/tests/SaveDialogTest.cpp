// The save dialog behind "...": starts from the field's text, asks before
// a name whose files exist, stays open with the name typed when refused.
#include "ui/CMyFileDialog.h"
#include "ui/tests/WindowFixture.h"

#include <QLineEdit>
#include <QPushButton>

#include <cstdio>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

class SaveDialogTest : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        OpenWindow();
        std::FILE *file = std::fopen((dir_ / "taken (0).m2v").c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
    }

    // Clicks "..." and lets `work` handle the dialog.
    void Browse(const std::function<void(CMyFileDialog &)> &work)
    {
        SetSaveDialogHook([this, work](CMyFileDialog &dialog) {
            initialDirectory_ = dialog.directory().absolutePath().toStdString();
            initialName_ = NameField(dialog)->text().toStdString();
            work(dialog);
        });
        QTest::mouseClick(Widget<QPushButton>(ControlId::Browse), Qt::LeftButton);
    }

    // Enters `name` in the name field and accepts, as a user would.
    static void TypeAndAccept(CMyFileDialog &dialog, const QString &name)
    {
        NameField(dialog)->setText(name);
        dialog.accept();
    }

    static QLineEdit *NameField(CMyFileDialog &dialog) { return dialog.findChild<QLineEdit *>("fileNameEdit"); }

    std::string FileField() const { return Widget<QLineEdit>(ControlId::FileName)->text().toStdString(); }

    std::vector<std::string> questions_;
    std::string initialDirectory_;
    std::string initialName_;
};

} // namespace

TEST_F(SaveDialogTest, RefusedNameKeepsTheDialogOpenUntilAFreeNameIsChosen)
{
    SetMessageBoxHook([this](QMessageBox &box) {
        questions_.push_back(box.text().toStdString());
        EXPECT_EQ(box.windowTitle().toStdString(), "File save as");
        EXPECT_EQ(box.icon(), QMessageBox::Question);
        return QMessageBox::No;
    });
    bool stayedOpen = false;
    std::string typedAfterRefusal;
    Browse([&](CMyFileDialog &dialog) {
        TypeAndAccept(dialog, QStringLiteral("taken"));
        stayedOpen = dialog.isVisible();
        typedAfterRefusal = NameField(dialog)->text().toStdString();
        TypeAndAccept(dialog, QStringLiteral("fresh"));
    });
    EXPECT_EQ(initialDirectory_, dir_.string());
    EXPECT_EQ(initialName_, "rec");
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(typedAfterRefusal, "taken");
    ASSERT_EQ(questions_.size(), 1u);
    EXPECT_EQ(questions_[0],
              "\"" + (dir_ / "taken (0).m2v").string() + "\" already exists! \nDo you want to overwrite it?");
    EXPECT_EQ(FileField(), (dir_ / "fresh").string());
    EXPECT_EQ(app_.m_strFile, (dir_ / "fresh").string());
}

TEST_F(SaveDialogTest, YesAcceptsTheNameAndCancelChangesNothing)
{
    SetMessageBoxHook([](QMessageBox &) { return QMessageBox::Yes; });
    Browse([](CMyFileDialog &dialog) { TypeAndAccept(dialog, QStringLiteral("taken")); });
    EXPECT_EQ(FileField(), (dir_ / "taken").string());

    Browse([](CMyFileDialog &dialog) {
        NameField(dialog)->setText(QStringLiteral("other"));
        dialog.reject();
    });
    EXPECT_EQ(FileField(), (dir_ / "taken").string());
    EXPECT_EQ(app_.m_strFile, (dir_ / "taken").string());
}

TEST_F(SaveDialogTest, NameInAMissingFolderIsRefusedWithoutTheCheck)
{
    SetMessageBoxHook([this](QMessageBox &box) {
        questions_.push_back(box.text().toStdString());
        return QMessageBox::Ok;
    });
    bool stayedOpen = false;
    Browse([&](CMyFileDialog &dialog) {
        TypeAndAccept(dialog, QString::fromStdString((dir_ / "missing" / "news").string()));
        stayedOpen = dialog.isVisible();
    });
    EXPECT_TRUE(stayedOpen);
    ASSERT_EQ(questions_.size(), 1u);
    EXPECT_NE(questions_[0].find("does not exist"), std::string::npos);
    EXPECT_EQ(FileField(), (dir_ / "rec").string());
}
