#include "platform/filesel.h"

#include <QFile>
#include <QFileSystemModel>
#include <QHeaderView>

#include "platform/filesel_qt.h"

#include <csignal>
#include <pthread.h>

namespace {
// The model reads the file system on a thread of its own, started as the
// model is made; it inherits the signal mask of the user-interface thread,
// which alone takes SIGUSR1 and SIGUSR2.
QFileSystemModel *without_user_signals(QObject *parent)
{
    sigset_t usr, previous;
    sigemptyset(&usr);
    sigaddset(&usr, SIGUSR1);
    sigaddset(&usr, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &usr, &previous);
    auto *model = new QFileSystemModel(parent);  // owned by the view
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return model;
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
    setColumnHidden(2, true);  // the kind column says "Folder" or "File" only
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
