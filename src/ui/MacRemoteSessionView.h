#pragma once

#include "base/Observable.h"

#include <QTimer>
#include <QWidget>
#include <memory>
#include <vector>

class QAbstractButton;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace quorlinth {

class MacModel;
class MacRemoteSession;
class MacRemoteView;
class UserDefaults;
struct MacDevice;

// One remote session as a tab of the remote window: the picture, the bar with the device's name,
// badges and buttons, the control strip, the status card until the first picture and the pairing
// prompt of a computer on the local network. In full screen the bar and strip float over the
// picture and hide themselves. Main thread only.
class MacRemoteSessionView : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kFillScreenKey = "remote.fillScreen";
    static constexpr int kHideDelayMs = 3000;
    static constexpr int kMinimumPasswordLength = 6;

    MacRemoteSessionView(MacModel& model, std::shared_ptr<MacRemoteSession> session, UserDefaults& defaults,
                         QWidget* parent = nullptr);
    ~MacRemoteSessionView() override;

    const std::shared_ptr<MacRemoteSession>& session() const { return shown; }
    MacRemoteView* picture() const { return view; }
    // The window went into or out of full screen.
    void setFullScreen(bool on);
    bool controlsShown() const { return controlsVisible; }
    // Gives the picture the keyboard unless a text field has it (an input target only).
    void grabFocus();
    // The window came to the front with this session shown: a changed local clipboard goes
    // over, and the picture takes the keyboard.
    void windowActivated();
    // Sends a typed pairing password: at least six characters after trimming, else nothing.
    void submitPassword();

    // For tests and the window: the parts shown.
    QWidget* statusCard() const { return card; }
    QWidget* passwordPrompt() const { return prompt; }
    QLineEdit* passwordField() const { return password; }
    QLabel* routeBadge() const { return route; }
    QLabel* viewOnlyBadge() const { return viewOnly; }
    QWidget* controlStrip() const { return strip; }
    QWidget* controlBar() const { return controls; }
    QPushButton* receiveFilesButton() const { return receiveFiles; }
    QLabel* transferLine() const { return transferState; }
    QProgressBar* transferBar() const { return transferProgress; }

signals:
    void fullScreenToggled();
    void connectAnother(QString sessionID);
    void titleChanged(QString title);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* makeBar();
    QWidget* makeStrip();
    QWidget* makeCard();
    QWidget* makePrompt();
    void observeSession();
    void followClient();
    void deviceChanged(const MacDevice& device);
    void refreshRoute();
    void refreshStrip();
    void refreshTransfer();
    void chooseFiles();
    void placeOverlays();
    void showControls();
    void armHiding();
    void applyFill();
    void pictureShown(QSize size);
    void logStats();

    MacModel& model;
    std::shared_ptr<MacRemoteSession> shown;
    UserDefaults& defaults;
    MacRemoteView* view = nullptr;
    QWidget* stage = nullptr;
    QWidget* controls = nullptr;
    QWidget* strip = nullptr;
    QWidget* card = nullptr;
    QWidget* prompt = nullptr;
    QLabel* name = nullptr;
    QLabel* viewOnly = nullptr;
    QLabel* route = nullptr;
    QLabel* status = nullptr;
    QLabel* transferState = nullptr;
    QProgressBar* transferProgress = nullptr;
    QLineEdit* password = nullptr;
    QPushButton* fullScreenButton = nullptr;
    QPushButton* receiveFiles = nullptr;
    QWidget* picker = nullptr;
    QAbstractButton* fitChoice = nullptr;
    QAbstractButton* fillChoice = nullptr;
    QToolButton* handle = nullptr;
    std::vector<QPushButton*> actionButtons;
    std::vector<QWidget*> desktopOnly;
    bool fullScreen = false;
    bool controlsVisible = true;
    bool controlsHovered = false;
    QTimer hideTask;
    QTimer statsTick;
    uint64_t statsFrames = 0;
    std::vector<Subscription> subscriptions;
};

} // namespace quorlinth
