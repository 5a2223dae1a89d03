#pragma once

#include <QObject>
#include <memory>

namespace quorlinth {

class MacAccount;

// The account publishes through one callback; this hands every change to any number of views.
class AccountSignals : public QObject {
    Q_OBJECT
public:
    explicit AccountSignals(std::shared_ptr<MacAccount> account, QObject* parent = nullptr);
    ~AccountSignals() override;
    MacAccount& account() const { return *watched; }
    std::shared_ptr<MacAccount> shared() const { return watched; }

signals:
    void changed();

private:
    std::shared_ptr<MacAccount> watched;
};

} // namespace quorlinth
