// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/filesel.h"

#include <QFile>
#include <QFileSystemModel>
#include <QHeaderView>

#include "platform/widgets/filesel_qt.h"
#include "platform/widgets/user_signals.h"

#include <csignal>
#include <pthread.h>

namespace {
// The browser's columns: the name, then "Size" and "Date" as the file
// system model gives them, then "Permissions", "Owner" and "Group" from
// the file's status.
class FileColumns final : public QFileSystemModel {
public:
    using QFileSystemModel::QFileSystemModel;
    enum { Name, Size, Date, Permissions, Owner, Group, Count };
    int columnCount(const QModelIndex &parent) const override
    {
        return parent.column() > 0 ? 0 : Count;
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        static constexpr const char *Titles[Count] = {"All Files and Directories", "Size", "Date", "Permissions", "Owner", "Group"};
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= Count)
            return QFileSystemModel::headerData(section, orientation, role);
        return QString::fromLatin1(Titles[section]);
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.column() < Date)
            return QFileSystemModel::data(index, role);
        if (index.column() == Date)
            return QFileSystemModel::data(index.siblingAtColumn(3), role);  // the model's own date column
        if (role != Qt::DisplayRole)
            return {};
        const QFileInfo info = fileInfo(index.siblingAtColumn(0));
        switch (index.column()) {
        case Permissions: return permissions(info);
        case Owner: return info.owner();
        case Group: return info.group();
        default: return {};
        }
    }

private:
    static QString permissions(const QFileInfo &info)
    {
        QString text = info.isSymLink() ? "l" : info.isDir() ? "d" : "-";
        const QFile::Permissions p = info.permissions();
        const std::pair<QFile::Permission, char> bits[] = {
            {QFile::ReadOwner, 'r'}, {QFile::WriteOwner, 'w'}, {QFile::ExeOwner, 'x'},
            {QFile::ReadGroup, 'r'}, {QFile::WriteGroup, 'w'}, {QFile::ExeGroup, 'x'},
            {QFile::ReadOther, 'r'}, {QFile::WriteOther, 'w'}, {QFile::ExeOther, 'x'}};
        for (const auto &[bit, letter] : bits)
            text += (p & bit) ? QChar(letter) : QChar('-');
        return text;
    }
};

// The model reads the file system on a thread of its own, started as the
// model is made; it inherits the signal mask of the user-interface thread,
// which alone takes SIGUSR1 and SIGUSR2.
QFileSystemModel *without_user_signals(QObject *parent)
{
    const UserSignalsBlocked blocked;
    return new FileColumns(parent);  // owned by the view
}
} // namespace

FileBrowser::FileBrowser(QWidget *parent) : QTreeView(parent), files_(without_user_signals(this))
{
    files_->setFilter(QDir::AllDirs | QDir::Files | QDir::NoDotAndDotDot | QDir::Drives);
    // Hiding, not greying out, is what the user asked for with a pattern.
    files_->setNameFilterDisables(false);
    // The watcher would follow every directory the user ever opened.
    files_->setOption(QFileSystemModel::DontWatchForChanges);
    setModel(files_);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setUniformRowHeights(true);
    header()->resizeSection(0, 160);
}

void FileBrowser::setRootPath(const QString &root)
{
    files_->setRootPath(root);
    // The root itself stays a visible, selectable entry above its children.
    const QModelIndex top = files_->index(root);
    if (top.isValid())
        expand(top);
}

void FileBrowser::setNameFilters(const QString &patterns)
{
    files_->setNameFilters(patterns.split(QLatin1Char(' '), Qt::SkipEmptyParts));
}

std::vector<std::string> ab_file_browser_selected(Widget *browser)
{
    std::vector<std::string> paths;
    auto *view = qobject_cast<QTreeView *>(browser);
    auto *files = view ? qobject_cast<QFileSystemModel *>(view->model()) : nullptr;
    if (files == nullptr || view->selectionModel() == nullptr)
        return paths;
    for (const QModelIndex &index : view->selectionModel()->selectedRows(0))
        paths.push_back(QFile::encodeName(files->filePath(index)).toStdString());
    return paths;
}
