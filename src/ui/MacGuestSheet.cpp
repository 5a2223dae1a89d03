#include "ui/MacGuestSheet.h"

#include "model/MacModel.h"
#include "model/MacRemoteSession.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace quorlinth {

MacGuestSheet::MacGuestSheet(MacModel& model, OpenWindow openWindow, QWidget* parent)
    : QDialog(parent), model(model), openWindow(std::move(openWindow)) {
    setWindowTitle(QStringLiteral("用设备码连接"));
    setMinimumWidth(360);
    code = new QLineEdit;
    code->setPlaceholderText(QStringLiteral("对方的 9 位设备码"));
    password = new QLineEdit;
    password->setPlaceholderText(QStringLiteral("临时密码"));
    password->setEchoMode(QLineEdit::Password);
    error = new QLabel;
    error->setWordWrap(true);
    error->setTextFormat(Qt::PlainText);
    error->setStyleSheet(QStringLiteral("color: #b3261e;"));
    error->hide();
    auto* cancel = new QPushButton(QStringLiteral("取消"));
    connectAction = new QPushButton(QStringLiteral("连接"));
    connectAction->setDefault(true);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(connectAction, &QPushButton::clicked, this, &MacGuestSheet::connectGuest);
    connect(code, &QLineEdit::textChanged, this, &MacGuestSheet::refresh);
    connect(password, &QLineEdit::textChanged, this, &MacGuestSheet::refresh);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("对方的 9 位设备码"), code);
    form->addRow(QStringLiteral("临时密码"), password);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addWidget(connectAction);
    auto* column = new QVBoxLayout(this);
    column->addLayout(form);
    column->addWidget(error);
    column->addLayout(buttons);

    subscriptions.push_back(model.state().sharing.observe([this](bool) { refresh(); }));
    subscriptions.push_back(model.state().starting.observe([this](bool) { refresh(); }));
    refresh();
}

bool MacGuestSheet::canConnect(const QString& code, const QString& password, bool sharing) {
    bool digits = code.size() == kCodeLength &&
                  std::all_of(code.begin(), code.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    return digits && password.toUcs4().size() >= kMinimumPasswordLength && !sharing;
}

QString MacGuestSheet::errorText() const {
    return error->isHidden() ? QString() : error->text();
}

void MacGuestSheet::refresh() {
    bool sharing = model.state().sharing.get() || model.state().starting.get();
    connectAction->setEnabled(canConnect(code->text(), password->text(), sharing));
}

void MacGuestSheet::connectGuest() {
    if (!connectAction->isEnabled()) return;
    auto session = model.openGuest(code->text().toStdString(), password->text().toStdString());
    if (!session) {
        error->setText(QString::fromStdString(model.state().status.get()));
        error->show();
        return;
    }
    password->clear();
    accept();
    openWindow(session->id());
}

} // namespace quorlinth
