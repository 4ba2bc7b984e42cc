#include "ui/CMyFileDialog.h"

#include "ui/ModalHooks.h"

#include <QAbstractFileIconProvider>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLocale>
#include <QMimeDatabase>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTreeView>

#include <algorithm>

namespace quelmar {
namespace {

// Columns of Qt's detail view (its file system model's).
constexpr int kSizeColumn = 1;
constexpr int kTypeColumn = 2;
constexpr int kDateColumn = 3;
constexpr char kDetailViewName[] = "treeView";

constexpr qint64 kBytesPerUnit = 1024;
constexpr qint64 kLargestSampleUnit = qint64{1} << 40; // TiB
constexpr qint64 kHundredths = 100;
// Files of a recording, and what a type is taken from when the name says
// nothing (an empty part, a part not yet recognised by its content).
const char *const kRecordingFileNames[] = {"b (0).mpg", "b (0).m2v",     "b (0).raw.m2v", "b (0).mp2",
                                           "b (0).ac3", "b (0).raw.mpp", "b (0).raw.acp", "b.log"};
const char *const kFallbackMimeTypes[] = {"application/x-zerosize", "application/octet-stream", "text/plain"};
// A date with wide digits, in each month.
constexpr int kSampleYear = 2026, kSampleDay = 28, kMonths = 12;
constexpr int kSampleHour = 22, kSampleMinute = 58, kSampleSecond = 58;

QStringList SizeSamples(const QLocale &locale)
{
    QStringList samples;
    // Just below the next unit: "1,023 bytes", "1,023.99 KiB", ...
    for (qint64 unit = 1; unit <= kLargestSampleUnit; unit *= kBytesPerUnit)
        samples << locale.formattedDataSize(kBytesPerUnit * unit - unit / kHundredths - 1);
    return samples;
}

QStringList TypeSamples(const QAbstractFileIconProvider *provider)
{
    QStringList samples;
    const QMimeDatabase mimes;
    auto text = [](const QMimeType &type) { return type.comment().isEmpty() ? type.name() : type.comment(); };
    for (const char *name : kRecordingFileNames)
        samples << text(mimes.mimeTypeForFile(QString::fromLatin1(name), QMimeDatabase::MatchExtension));
    for (const char *name : kFallbackMimeTypes)
        samples << text(mimes.mimeTypeForName(QString::fromLatin1(name)));
    if (provider)
        samples << provider->type(QFileInfo(QDir::tempPath()));
    return samples;
}

QStringList DateSamples(const QLocale &locale)
{
    QStringList samples;
    for (int month = 1; month <= kMonths; ++month)
        samples << locale.toString(
            QDateTime(QDate(kSampleYear, month, kSampleDay), QTime(kSampleHour, kSampleMinute, kSampleSecond)),
            QLocale::ShortFormat);
    return samples;
}

} // namespace

CMyFileDialog::CMyFileDialog(QWidget *parent, const QString &initialName, NameCheck check)
    : QFileDialog(parent), m_fnCheck(std::move(check))
{
    setOption(QFileDialog::DontUseNativeDialog);
    // The check asks about every name the recording would overwrite; the
    // chosen base itself is not one of them.
    setOption(QFileDialog::DontConfirmOverwrite);
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setDefaultSuffix(QString());
    setViewMode(QFileDialog::Detail);
    FitDetailColumns();
    if (!initialName.isEmpty()) {
        const QFileInfo initial(initialName);
        if (initial.absoluteDir().exists())
            setDirectory(initial.absolutePath());
        selectFile(initial.fileName());
    }
}

void CMyFileDialog::accept()
{
    const QStringList files = selectedFiles();
    if (files.isEmpty())
        return;
    const QFileInfo chosen(files.constFirst());
    if (chosen.isDir()) {
        QFileDialog::accept(); // opens the folder
        return;
    }
    if (!chosen.absoluteDir().exists()) {
        QMessageBox box(QMessageBox::Warning, windowTitle(),
                        tr("%1\nThe folder does not exist.").arg(QDir::toNativeSeparators(chosen.absolutePath())),
                        QMessageBox::Ok, this);
        ExecMessageBox(box);
        return;
    }
    const QString path = chosen.absoluteFilePath();
    if (OnFileNameOK(path))
        return;
    m_strChosen = path;
    QFileDialog::accept();
}

bool CMyFileDialog::OnFileNameOK(const QString &path) { return m_fnCheck && !m_fnCheck(path.toStdString()); }

void CMyFileDialog::FitDetailColumns()
{
    m_pDetailView = findChild<QTreeView *>(QString::fromLatin1(kDetailViewName));
    if (!m_pDetailView)
        return;
    QHeaderView *header = m_pDetailView->header();
    const QFontMetrics metrics(m_pDetailView->font());
    // An item's text is drawn inside a focus frame margin on either side.
    const int margin = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_pDetailView) + 1) +
                       metrics.averageCharWidth();
    const QLocale locale = QLocale::system(); // as the file system model formats
    const std::pair<int, QStringList> columns[] = {{kSizeColumn, SizeSamples(locale)},
                                                   {kTypeColumn, TypeSamples(iconProvider())},
                                                   {kDateColumn, DateSamples(locale)}};
    for (const auto &[column, samples] : columns) {
        int width = std::max(header->sectionSize(column), header->sectionSizeHint(column));
        for (const QString &sample : samples)
            width = std::max(width, metrics.horizontalAdvance(sample) + margin);
        header->resizeSection(column, width);
    }
}

void CMyFileDialog::showEvent(QShowEvent *event)
{
    QFileDialog::showEvent(event);
    if (!m_pDetailView)
        return;
    // Room for a vertical scroll bar too, which a longer folder brings.
    const int missing = m_pDetailView->header()->length() + m_pDetailView->verticalScrollBar()->sizeHint().width() -
                        m_pDetailView->viewport()->width();
    if (missing <= 0)
        return;
    int wanted = width() + missing;
    if (const QScreen *shown = screen())
        wanted = std::min(wanted, shown->availableGeometry().width());
    if (wanted > width())
        resize(wanted, height());
}

} // namespace quelmar
