// SPDX-License-Identifier: GPL-3.0-or-later
// Resizing by anchors: a window's widgets keep their distances from the
// edges of their parent as it is resized. User-interface thread only; the
// arithmetic (anchor_edges, anchor_axis) is pure and callable from anywhere.
#include "platform/widgets/anchors.h"

#include <QEvent>
#include <QVariant>
#include <QWidget>
#include <algorithm>

#include "platform/widgets/ab_qt.h"

AnchorEdges anchor_edges(std::string_view anchors, bool horizontal)
{
    auto has = [anchors](std::string_view token) {
        for (std::size_t at = 0; at <= anchors.size();) {
            const std::size_t bar = std::min(anchors.find('|', at), anchors.size());
            if (anchors.substr(at, bar - at) == token)
                return true;
            at = bar + 1;
        }
        return false;
    };
    const std::string_view lead = horizontal ? "left" : "top", trail = horizontal ? "right" : "bottom";
    const std::string_view prop = horizontal ? "xprop" : "yprop";
    const std::string_view lead_prop = horizontal ? "leftprop" : "topprop";
    const std::string_view trail_prop = horizontal ? "rightprop" : "bottomprop";
    return {has(lead) || !has(trail), has(trail), has(prop), has(lead_prop), has(trail_prop)};
}

int anchor_axis(AnchorEdges e, AnchorSpan d, int parent, int &size)
{
    const int trail_gap = d.parent - d.pos - d.size;
    size = d.size;
    if (e.lead_prop && e.trail) {
        const int pos = d.parent ? d.pos * parent / d.parent : d.pos;
        size = parent - trail_gap - pos;
        return pos;
    }
    if (e.lead && e.trail_prop) {
        size = (d.parent ? (d.pos + d.size) * parent / d.parent : d.pos + d.size) - d.pos;
        return d.pos;
    }
    if (e.lead && e.trail) {
        size = parent - d.pos - trail_gap;
        return d.pos;
    }
    if (e.trail)
        return parent - trail_gap - d.size;
    if (e.prop)
        return d.parent ? d.pos * parent / d.parent : d.pos;
    return d.pos;
}

namespace {

// A parent without a "design" size property takes its size at creation as
// designed.
class Anchors final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::Resize)
            if (auto *w = qobject_cast<QWidget *>(object))
                relayout(w);
        return false;
    }
    static void relayout(QWidget *parent)
    {
        const QSize design = parent->property("design_size").toSize();
        for (QObject *child : parent->children()) {
            auto *w = qobject_cast<QWidget *>(child);
            if (w == nullptr || w->isWindow() || !w->property("design_rect").isValid())
                continue;
            const QRect d = w->property("design_rect").toRect();
            const std::string a = w->property("anchors").toString().toStdString();
            int width, height;
            const int x = anchor_axis(anchor_edges(a, true), {d.x(), d.width(), design.width()}, parent->width(), width);
            const int y = anchor_axis(anchor_edges(a, false), {d.y(), d.height(), design.height()}, parent->height(), height);
            w->setGeometry(x, y, std::max(width, 0), std::max(height, 0));
            // A widget hidden by its module stays hidden; one with a least
            // height hides below it rather than draw its contents over
            // each other.
            const QVariant least = w->property("least_height");
            const bool shown = !w->property("hidden_by_module").toBool() && (!least.isValid() || height >= least.toInt());
            if (w->isVisibleTo(parent) != shown)
                w->setVisible(shown);
        }
    }
};
Anchors *AnchorFilter;

} // namespace

void ab_anchors_install(QObject *application)
{
    if (!AnchorFilter)
        AnchorFilter = new Anchors(application);  // owned by the application
}

void ab_record_anchors(QWidget *top)
{
    QList<QWidget *> all = top->findChildren<QWidget *>();
    all.prepend(top);
    for (QWidget *w : all) {
        if (!w->property("anchors").isValid())
            continue;
        w->setProperty("design_rect", w->geometry());
        QWidget *parent = w->parentWidget();
        if (parent == nullptr)
            continue;
        if (!parent->property("design_size").isValid())
            parent->setProperty("design_size", parent->size());
        else if (parent->property("design_size").typeId() == QMetaType::QString) {
            const QStringList wh = parent->property("design_size").toString().split('x');
            parent->setProperty("design_size", QSize(wh.value(0).toInt(), wh.value(1).toInt()));
        }
        parent->installEventFilter(AnchorFilter);
    }
}

void ab_relayout(QWidget *parent)
{
    if (parent)
        Anchors::relayout(parent);
}
