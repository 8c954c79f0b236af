// SPDX-License-Identifier: GPL-3.0-or-later
// The file and directory browser of a dialog, as the interface definitions
// in ui/ name it: a tree of the file system from a root directory, showing
// directories and the files whose names fit a pattern. Qt allowed.
// User-interface thread only; the widget layer's own.
#pragma once

#ifndef TONRA_WIDGET_INTERNALS
#error "platform/widgets/filesel_qt.h is the widget layer's own; use platform/widgets/filesel.h"
#endif

#include <QTreeView>

class QFileSystemModel;

class FileBrowser final : public QTreeView {
public:
    explicit FileBrowser(QWidget *parent = nullptr);
    // The directory the tree starts from; it stands as the one top entry.
    void setRootPath(const QString &root);
    // Shell patterns separated by blanks; files that fit none are hidden.
    void setNameFilters(const QString &patterns);

private:
    QFileSystemModel *files_;
};
