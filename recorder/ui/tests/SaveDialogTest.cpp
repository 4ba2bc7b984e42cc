// The save dialog behind "...": starts from the field's text, asks before
// a name whose files exist, stays open with the name typed when refused,
// shows its detail columns whole.
#include "ui/CMyFileDialog.h"
#include "ui/tests/WindowFixture.h"

#include <QDateTime>
#include <QFile>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>

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

// What the detail view shows of a recording's files fits its columns, and
// every column lies inside the view.
TEST_F(SaveDialogTest, DetailColumnsShowTheirTextsWhole)
{
    constexpr uintmax_t kJustBelowAGibibyte = 1073731296; // "1,023.99 MiB"
    const QDateTime late(QDate(2026, 12, 28), QTime(22, 58, 58));
    std::filesystem::create_directory(dir_ / "older recordings");
    for (const char *name : {"news (0).mpg", "news (0).ac3", "news (0).raw.m2v", "news.log"}) {
        QFile file(QString::fromStdString((dir_ / name).string()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("x\n");
        ASSERT_TRUE(file.setFileTime(late, QFileDevice::FileModificationTime));
    }
    std::filesystem::resize_file(dir_ / "news (0).mpg", kJustBelowAGibibyte);
    constexpr int kEntries = 6; // with "taken (0).m2v"
    constexpr int kColumns[] = {1, 2, 3};
    bool checked = false;
    Browse([&](CMyFileDialog &dialog) {
        auto *view = dialog.findChild<QTreeView *>("treeView");
        ASSERT_NE(view, nullptr);
        auto *model = qobject_cast<QFileSystemModel *>(view->model());
        ASSERT_NE(model, nullptr);
        const QModelIndex root = view->rootIndex();
        // The model reads the folder on a thread of its own.
        ASSERT_TRUE(WaitFor([&] {
            if (model->rowCount(root) != kEntries)
                return false;
            for (int row = 0; row < kEntries; ++row)
                if (model->index(row, 2, root).data().toString().isEmpty())
                    return false;
            return true;
        }));
        QHeaderView *header = view->header();
        const QAbstractItemView *items = view; // the tree's own measure, public here
        const QFontMetrics metrics(view->font());
        for (int column : kColumns) {
            const QString title = model->headerData(column, Qt::Horizontal).toString();
            EXPECT_GE(header->sectionSize(column), header->sectionSizeHint(column)) << title.toStdString();
            EXPECT_GE(header->sectionSize(column), items->sizeHintForColumn(column)) << title.toStdString();
            for (int row = 0; row < kEntries; ++row) {
                const QString text = model->index(row, column, root).data().toString();
                EXPECT_LT(metrics.horizontalAdvance(text), header->sectionSize(column)) << text.toStdString();
            }
        }
        EXPECT_LE(header->length(), view->viewport()->width());
        checked = true;
    });
    EXPECT_TRUE(checked);
}
