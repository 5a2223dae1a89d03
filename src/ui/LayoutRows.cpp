#include "ui/LayoutRows.h"

#include <QVBoxLayout>
#include <QWidget>

namespace quorlinth {

void clearRows(QVBoxLayout* rows) {
    while (QLayoutItem* item = rows->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
}

} // namespace quorlinth
