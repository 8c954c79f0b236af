// SPDX-License-Identifier: GPL-3.0-or-later
// The modal file dialog of the file picker.
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QIdentityProxyModel>
#include <QSettings>
#include <QTemporaryDir>
#include <QTreeView>

#include "platform/widgets/ab.h"

namespace {
// The size column of the file dialog in whole kilobytes, rounded up.
class KilobyteSizes final : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;
    QVariant data(const QModelIndex &index, int role) const override
    {
        auto *files = qobject_cast<QFileSystemModel *>(sourceModel());
        if (files == nullptr || index.column() != 1 || role != Qt::DisplayRole)
            return QIdentityProxyModel::data(index, role);
        const QModelIndex source = mapToSource(index);
        if (files->isDir(source))
            return QString();
        return QStringLiteral("%1 KB").arg((files->size(source) + 1023) / 1024);
    }
};
} // namespace

int ab_file_selection(Widget *parent, const char *title, const char *directory, const char *pattern,
                      std::string &path)
{
    // The dialog keeps its state in the toolkit's own settings file under
    // the user's home; the program keeps nothing between runs, so that file
    // goes to a directory of its own that is gone when the dialog is.
    QTemporaryDir settings;
    if (settings.isValid())
        for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat})
            QSettings::setPath(format, QSettings::UserScope, settings.path());
    QFileDialog dialog(parent, QString::fromUtf8(title), directory ? QFile::decodeName(directory) : QString(),
                       QString::fromUtf8(pattern));
    dialog.setObjectName("file_selection");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setViewMode(QFileDialog::Detail);
    dialog.setProxyModel(new KilobyteSizes(&dialog));  // owned by the dialog
    if (auto *view = dialog.findChild<QTreeView *>("treeView")) {
        // A name and a size column only.
        view->setColumnHidden(2, true);
        view->setColumnHidden(3, true);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return 0;
    path = QFile::encodeName(dialog.selectedFiles().front()).toStdString();
    return 1;
}
