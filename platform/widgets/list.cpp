// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/list.h"

#include <QAbstractTableModel>
#include <QEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <numeric>
#include <vector>

#include "platform/widgets/ab_qt.h"
#include "platform/widgets/text.h"

namespace {

// Splits a text at tabs and returns column c (the last column may itself be
// long; nothing is copied but the one column).
std::string_view column(std::string_view text, int c)
{
    for (; c > 0; --c) {
        const auto tab = text.find('\t');
        if (tab == std::string_view::npos)
            return {};
        text.remove_prefix(tab + 1);
    }
    return text.substr(0, text.find('\t'));
}

constexpr int MarkerHeight = 16;

class ItemList final : public QAbstractTableModel {
public:
    ItemList(QTreeView *view, ItemImageFunction image) : QAbstractTableModel(view), view_(view), image_(image)
    {
        held_back_timer_.setSingleShot(true);
        held_back_timer_.setInterval(100);
        QObject::connect(&held_back_timer_, &QTimer::timeout, this, [this] { announce(); });
    }

    std::deque<TreeItem> items;
    std::vector<const Picture *> images;
    const Picture *header_picture = nullptr;  // over the picture column
    std::vector<std::string> headers{""};

    int rowCount(const QModelIndex &parent) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(items.size() - held_back_);
    }
    int columnCount(const QModelIndex &parent) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(headers.size()) + 1;
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= rowCount({}))
            return {};
        const TreeItem &item = items[static_cast<std::size_t>(index.row()) + held_back_];
        if (index.column() == 0) {
            // Every row as high as the marker needs, whether it shows the
            // marker or not: the rows take the first row's height, and the
            // list would jump as the marker comes to or leaves the top.
            if (role == Qt::SizeHintRole && !images.empty())
                return QSize(-1, std::max(MarkerHeight, view_->fontMetrics().height()) + 2);
            if (role != Qt::DecorationRole || image_ == nullptr)
                return {};
            const int picture = image_(view_, &item);
            if (picture < 0 || picture >= static_cast<int>(images.size()) || images[static_cast<std::size_t>(picture)] == nullptr)
                return {};
            return images[static_cast<std::size_t>(picture)]->pixmap;
        }
        if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
            return {};
        const int c = index.column() - 1;
        return display_text(column(item.text, c));
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal && section == 0 && role == Qt::DecorationRole && header_picture)
            return header_picture->pixmap;
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section == 0 ||
            section > static_cast<int>(headers.size()))
            return {};
        return QString::fromStdString(headers[static_cast<std::size_t>(section - 1)]);
    }

    // A tree view lays out every row again after each insertion at the top,
    // so additions that arrive one event-loop turn apart (the directory scan
    // adds one song per locked section) would cost the whole list each.
    // Those are held back from the views, above the rows they know, and
    // announced together at most every 100 ms, or as soon as anything else
    // touches the list through the layer.
    void add_first(std::vector<TreeItem> &added, bool hold_back)
    {
        if (added.empty())
            return;
        if (hold_back) {
            for (auto &item : added)
                items.push_front(std::move(item));
            held_back_ += added.size();
            if (!held_back_timer_.isActive())
                held_back_timer_.start();
            return;
        }
        announce();
        beginInsertRows({}, 0, static_cast<int>(added.size()) - 1);
        for (auto &item : added)
            items.push_front(std::move(item));
        endInsertRows();
    }
    void announce()
    {
        if (held_back_ == 0)
            return;
        beginInsertRows({}, 0, static_cast<int>(held_back_) - 1);
        held_back_ = 0;
        endInsertRows();
    }
    void reset(std::deque<TreeItem> replacement)
    {
        beginResetModel();
        items = std::move(replacement);
        held_back_ = 0;
        endResetModel();
    }
    void rearrange(const std::function<void(std::deque<TreeItem> &)> &how)
    {
        beginResetModel();
        how(items);
        held_back_ = 0;
        endResetModel();
    }
    void remove_row(int row)
    {
        beginRemoveRows({}, row, row);
        items.erase(items.begin() + row);
        endRemoveRows();
    }
    void set_headers(std::vector<std::string> texts)
    {
        beginResetModel();
        headers = std::move(texts);
        endResetModel();
    }
    void refresh_row(int row) { emit dataChanged(index(row, 0), index(row, columnCount({}) - 1)); }
    void refresh_headers() { emit headerDataChanged(Qt::Horizontal, 0, columnCount({}) - 1); }
    [[nodiscard]] int held_back() const { return static_cast<int>(held_back_); }

private:
    QTreeView *view_;
    ItemImageFunction image_;
    std::size_t held_back_ = 0;  // items at the top that the views do not know yet
    QTimer held_back_timer_;
};

// The items as the modules see them, held-back ones included.
ItemList *store_of(Widget *list)
{
    auto *view = qobject_cast<QTreeView *>(list);
    return view ? dynamic_cast<ItemList *>(view->model()) : nullptr;
}

// The model with the views up to date, so their rows are the items' rows.
ItemList *model_of(Widget *list)
{
    ItemList *m = store_of(list);
    if (m)
        m->announce();
    return m;
}

const std::deque<TreeItem> NoItems;

} // namespace

void tree_attach(QWidget *widget, const EventLink *image_link)
{
    auto *view = qobject_cast<QTreeView *>(widget);
    if (view == nullptr)
        return;
    auto *model = new ItemList(view, image_link ? image_link->item_image : nullptr);  // owned by the view
    view->setModel(model);
    view->setRootIsDecorated(false);
    view->setUniformRowHeights(true);
    view->setItemsExpandable(false);
    view->setAllColumnsShowFocus(true);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->header()->setStretchLastSection(true);
    view->header()->setSectionsMovable(false);
    // Without a picture column the list is a plain one-column list.
    view->setColumnHidden(0, image_link == nullptr);
    view->setIconSize(QSize(MarkerHeight, MarkerHeight));
}

int tree_item_row(QWidget *view, int view_row)
{
    const ItemList *m = store_of(view);
    return m && view_row >= 0 ? view_row + m->held_back() : view_row;
}

int tree_count(Widget *list)
{
    auto *m = store_of(list);
    return m ? static_cast<int>(m->items.size()) : 0;
}

TreeItem *tree_item(Widget *list, int row)
{
    auto *m = store_of(list);
    if (m == nullptr || row < 0 || row >= static_cast<int>(m->items.size()))
        return nullptr;
    return &m->items[static_cast<std::size_t>(row)];
}

const std::deque<TreeItem> &tree_items(Widget *list)
{
    auto *m = store_of(list);
    return m ? m->items : NoItems;
}

int tree_add_first(Widget *list, std::string text, std::string path)
{
    std::vector<TreeItem> one;
    one.push_back(TreeItem{std::move(text), 0, std::move(path)});
    return tree_add_first_batch(list, std::move(one));
}

int tree_add_first_batch(Widget *list, std::vector<TreeItem> added)
{
    auto *m = store_of(list);
    if (m == nullptr)
        return -1;
    try {
        m->add_first(added, ab_in_locked_section());
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}

void tree_remove_rows(Widget *list, std::span<const int> rows)
{
    auto *m = model_of(list);
    if (m == nullptr || rows.empty())
        return;
    const auto n = m->items.size();
    if (rows.size() == 1) {
        const int row = rows.front();
        if (row < 0 || static_cast<std::size_t>(row) >= n)
            return;
        m->remove_row(row);
        return;
    }
    // Many rows at once: one compaction pass and one reset, never a
    // removal per row (which is quadratic over a long list).
    std::vector<char> doomed(n, 0);
    for (int row : rows)
        if (row >= 0 && static_cast<std::size_t>(row) < n)
            doomed[static_cast<std::size_t>(row)] = 1;
    std::deque<TreeItem> kept;
    for (std::size_t i = 0; i < n; ++i)
        if (!doomed[i])
            kept.push_back(std::move(m->items[i]));
    m->reset(std::move(kept));
}

void tree_free_all(Widget *list)
{
    if (auto *m = model_of(list))
        m->reset({});
}

void tree_rearrange(Widget *list, const std::function<void(std::deque<TreeItem> &)> &rearrange)
{
    if (auto *m = model_of(list))
        m->rearrange(rearrange);
}

std::vector<int> tree_selected_rows(Widget *list)
{
    std::vector<int> rows;
    auto *view = qobject_cast<QTreeView *>(list);
    if (view == nullptr || view->selectionModel() == nullptr || model_of(list) == nullptr)
        return rows;
    // From the ranges themselves: selectedRows() tests every row against
    // every range, quadratic for a scattered selection over a long list.
    // Selection here is by whole rows, so a range's rows are selected rows.
    for (const QItemSelectionRange &range : view->selectionModel()->selection())
        for (int row = range.top(); row <= range.bottom(); ++row)
            rows.push_back(row);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

void tree_select_rows(Widget *list, std::span<const int> rows)
{
    auto *view = qobject_cast<QTreeView *>(list);
    auto *m = model_of(list);
    if (view == nullptr || m == nullptr)
        return;
    QItemSelection selection;
    for (int row : rows)
        selection.select(m->index(row, 0), m->index(row, m->columnCount({}) - 1));
    view->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void tree_modify(Widget *list, int row)
{
    if (auto *m = model_of(list); m && row >= 0 && row < static_cast<int>(m->items.size()))
        m->refresh_row(row);
}

void tree_show(Widget *list, int row)
{
    auto *view = qobject_cast<QTreeView *>(list);
    auto *m = model_of(list);
    if (view && m && row >= 0 && row < static_cast<int>(m->items.size()))
        view->scrollTo(m->index(row, 1));
}

void tree_goto(Widget *list, int row)
{
    auto *view = qobject_cast<QTreeView *>(list);
    auto *m = model_of(list);
    if (view && m && row >= 0 && row < static_cast<int>(m->items.size())) {
        view->selectionModel()->setCurrentIndex(m->index(row, 1), QItemSelectionModel::NoUpdate);
        view->scrollTo(m->index(row, 1));
    }
}

int tree_current_row(Widget *list)
{
    auto *view = qobject_cast<QTreeView *>(list);
    return view && model_of(list) && view->currentIndex().isValid() ? view->currentIndex().row() : -1;
}

void tree_set_images(Widget *list, std::vector<const Picture *> images)
{
    if (auto *m = model_of(list)) {
        m->images = std::move(images);
        if (!m->items.empty())
            emit m->dataChanged(m->index(0, 0), m->index(static_cast<int>(m->items.size()) - 1, 0));
    }
}

void tree_set_columns(Widget *list, std::vector<std::string> headers)
{
    auto *m = model_of(list);
    if (m == nullptr)
        return;
    m->set_headers(std::move(headers));
}

namespace {

// The designed widths were drawn for another toolkit's frames and scroll
// bars: where the view the style leaves is narrower, the widest column gives
// way, so that the list shows no horizontal scroll bar at its designed size.
class ColumnFit : public QObject {
public:
    static constexpr const char *Name = "column_fit";
    explicit ColumnFit(QTreeView *view) : QObject(view), view_(view)
    {
        setObjectName(Name);
        view->viewport()->installEventFilter(this);
    }
    void fit(std::span<const int> widths)
    {
        widths_.assign(widths.begin(), widths.end());
        fit();
    }
    void fit()
    {
        const int total = std::accumulate(widths_.begin(), widths_.end(), 0);
        const int over = std::max(total - view_->viewport()->width(), 0);
        const auto widest = std::max_element(widths_.begin(), widths_.end()) - widths_.begin();
        for (std::size_t c = 0; c < widths_.size(); ++c) {
            const int width = static_cast<std::ptrdiff_t>(c) == widest ? std::max(widths_[c] - over, 0) : widths_[c];
            view_->header()->resizeSection(static_cast<int>(c), width);
        }
        // The column that takes the rest stretches from nothing: the header
        // never shrinks it below the width it had when it began to stretch.
        QHeaderView *header = view_->header();
        if (header->count() <= static_cast<int>(widths_.size()))
            return;
        header->setStretchLastSection(false);
        header->resizeSection(header->count() - 1, 0);
        header->setStretchLastSection(true);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        // After the view has laid out its header for the new width: the
        // stretch is taken from the header's own width.
        if (event->type() == QEvent::Resize)
            QMetaObject::invokeMethod(this, qOverload<>(&ColumnFit::fit), Qt::QueuedConnection);
        return false;
    }

private:
    QTreeView *view_;
    std::vector<int> widths_;
};

} // namespace

void tree_set_column_widths(Widget *list, std::span<const int> widths)
{
    auto *view = qobject_cast<QTreeView *>(list);
    if (view == nullptr || widths.empty())
        return;
    // The style's minimum would widen a narrow picture column.
    // The last column, which takes the rest, may have none left at the
    // designed size.
    view->header()->setMinimumSectionSize(0);
    // Found by name: the class has no meta-object of its own to cast by.
    auto *fit = static_cast<ColumnFit *>(view->findChild<QObject *>(ColumnFit::Name, Qt::FindDirectChildrenOnly));
    if (fit == nullptr)
        fit = new ColumnFit(view);  // owned by the view
    fit->fit(widths);
}

void tree_set_header_picture(Widget *list, const Picture *picture)
{
    if (auto *m = model_of(list)) {
        m->header_picture = picture;
        m->refresh_headers();
    }
}
