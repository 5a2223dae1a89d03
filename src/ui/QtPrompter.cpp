#include "ui/QtPrompter.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <memory>

namespace quorlinth {

void QtPrompter::ask(const MacQuestion& question, std::function<void(bool)> answer) {
    QWidget* key = QApplication::activeWindow();
    auto* box = new QMessageBox(key);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Question);
    box->setWindowTitle(QStringLiteral("Quorlinth"));
    box->setText(QString::fromStdString(question.message));
    box->setInformativeText(QString::fromStdString(question.informative));
    // The model escapes peer names already; plain text keeps markup in a name inert.
    box->setTextFormat(Qt::PlainText);
    QPushButton* accept = box->addButton(QString::fromStdString(question.accept), QMessageBox::AcceptRole);
    box->addButton(QString::fromStdString(question.reject), QMessageBox::RejectRole);
    box->setDefaultButton(accept);
    box->setWindowModality(key ? Qt::WindowModal : Qt::ApplicationModal);
    auto once = std::make_shared<std::function<void(bool)>>(std::move(answer));
    QObject::connect(box, &QMessageBox::finished, box, [box, accept, once](int) {
        if (auto reply = std::exchange(*once, {})) reply(box->clickedButton() == accept);
    });
    box->show();
    box->raise();
    box->activateWindow();
}

} // namespace quorlinth
