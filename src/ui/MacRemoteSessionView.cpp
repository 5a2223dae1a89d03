#include "ui/MacRemoteSessionView.h"

#include "base/DisplayText.h"
#include "base/PlatformWords.h"
#include "log/MacLog.h"
#include "model/MacModel.h"
#include "model/MacRemoteSession.h"
#include "store/UserDefaults.h"
#include "ui/MacRemoteView.h"

#include <QApplication>
#include <QButtonGroup>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>

namespace quorlinth {

namespace {

constexpr int kCardWidth = 420;
constexpr int kHandleWidth = 72, kHandleHeight = 20;
constexpr int kStatsIntervalMs = 1000;
constexpr int kTransferBarWidth = 140, kTransferNameWidth = 220;
constexpr int kProgressSteps = 1000;

bool isViewOnly(const MacDevice& device) {
    return device.platform == "ios" ||
           (isDesktopPlatform(device.platform) && !device.capabilities.inputReady);
}

QLabel* badge(const QString& text) {
    auto* label = new QLabel(text);
    label->setStyleSheet(QStringLiteral("QLabel { background: #e8eaed; color: #202124; border-radius: 6px; "
                                        "padding: 1px 8px; }"));
    return label;
}

QLabel* plain(const QString& text = {}) {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

QString sessionTitle(const MacDevice& device) {
    return QString::fromStdString(displaySafe(device.name));
}

} // namespace

MacRemoteSessionView::MacRemoteSessionView(MacModel& model, std::shared_ptr<MacRemoteSession> session,
                                           UserDefaults& defaults, QWidget* parent)
    : QWidget(parent), model(model), shown(std::move(session)), defaults(defaults) {
    std::weak_ptr<MacRemoteSession> weak = shown;
    view = new MacRemoteView([weak](Json message) {
        if (auto session = weak.lock()) session->sendControl(std::move(message));
    });
    view->input().onToggleFullScreen = [this] { emit fullScreenToggled(); };
    view->input().schedule = [this](double seconds, std::function<void()> task) {
        QTimer::singleShot(static_cast<int>(seconds * 1000), this, std::move(task));
    };
    connect(view, &MacRemoteView::areaResized, this, [weak](QSizeF points, double scale) {
        if (auto session = weak.lock()) session->requestViewport(points.width(), points.height(), scale);
    });
    connect(view, &MacRemoteView::pictureResized, this, &MacRemoteSessionView::pictureShown);

    stage = new QWidget;
    stage->installEventFilter(this);
    view->setParent(stage);
    card = makeCard();
    card->setParent(stage);
    prompt = makePrompt();
    prompt->setParent(stage);
    handle = new QToolButton(stage);
    handle->setArrowType(Qt::DownArrow);
    handle->setFixedSize(kHandleWidth, kHandleHeight);
    handle->setToolTip(QString::fromUtf8(platformWords::kFullScreenHandleHelp));
    handle->hide();
    connect(handle, &QToolButton::clicked, this, &MacRemoteSessionView::showControls);

    controls = new QWidget;
    auto* controlsColumn = new QVBoxLayout(controls);
    controlsColumn->setContentsMargins(8, 6, 8, 6);
    controlsColumn->addWidget(makeBar());
    strip = makeStrip();
    controlsColumn->addWidget(strip);
    controls->setAutoFillBackground(true);
    controls->installEventFilter(this);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(controls);
    column->addWidget(stage, 1);

    hideTask.setSingleShot(true);
    hideTask.setInterval(kHideDelayMs);
    connect(&hideTask, &QTimer::timeout, this, [this] {
        if (!fullScreen || controlsHovered) return;
        controlsVisible = false;
        placeOverlays();
    });
    // A diagnostic line per second with the pictures shown, when asked for in the environment.
    if (std::getenv("QUORLINTH_VIEW_STATS")) {
        connect(&statsTick, &QTimer::timeout, this, &MacRemoteSessionView::logStats);
        statsTick.start(kStatsIntervalMs);
    }
    observeSession();
    applyFill();
}

MacRemoteSessionView::~MacRemoteSessionView() = default;

QWidget* MacRemoteSessionView::makeBar() {
    auto* bar = new QWidget;
    name = plain();
    name->setWordWrap(false);
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    viewOnly = badge(QStringLiteral("仅观看"));
    route = badge({});

    picker = new QWidget;
    auto* pickerRow = new QHBoxLayout(picker);
    pickerRow->setContentsMargins(0, 0, 0, 0);
    pickerRow->setSpacing(0);
    auto* group = new QButtonGroup(picker);
    auto choice = [&](const char* text) {
        auto* button = new QToolButton;
        button->setText(QString::fromUtf8(text));
        button->setCheckable(true);
        group->addButton(button);
        pickerRow->addWidget(button);
        return button;
    };
    fitChoice = choice("完整");
    fillChoice = choice("铺满");
    picker->setToolTip(QString::fromUtf8(platformWords::kFillScreenHelp));
    picker->setAccessibleName(QStringLiteral("显示方式"));
    connect(fillChoice, &QAbstractButton::toggled, this, [this](bool on) {
        defaults.set(kFillScreenKey, on);
        applyFill();
    });

    fullScreenButton = new QPushButton(QStringLiteral("全屏"));
    connect(fullScreenButton, &QPushButton::clicked, this, [this] { emit fullScreenToggled(); });
    auto* another = new QPushButton(QStringLiteral("连接另一台…"));
    connect(another, &QPushButton::clicked, this,
            [this] { emit connectAnother(QString::fromStdString(shown->id())); });
    auto* disconnect = new QPushButton(QStringLiteral("断开"));
    // Closing the session takes its tab away; the model's list is what the window follows.
    connect(disconnect, &QPushButton::clicked, this, [this] { model.closeRemote(shown); });

    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(name);
    row->addWidget(viewOnly);
    row->addWidget(route);
    row->addStretch();
    row->addWidget(picker);
    row->addWidget(fullScreenButton);
    row->addWidget(another);
    row->addWidget(disconnect);
    return bar;
}

QWidget* MacRemoteSessionView::makeStrip() {
    auto* box = new QWidget;
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    for (int action = ControllerInputTranslator::kBackAction;
         action <= ControllerInputTranslator::kRecentTasksAction; ++action) {
        auto* button = new QPushButton;
        button->setFocusPolicy(Qt::NoFocus);
        connect(button, &QPushButton::clicked, this, [this, action] { view->input().sendKeyAction(action); });
        actionButtons.push_back(button);
        row->addWidget(button);
    }
    auto* inputSource = new QPushButton(QStringLiteral("切换输入法"));
    inputSource->setFocusPolicy(Qt::NoFocus);
    connect(inputSource, &QPushButton::clicked, this, [this] { view->input().switchInputSource(); });
    desktopOnly.push_back(inputSource);
    row->addWidget(inputSource);
    auto* sendFiles = new QPushButton(QStringLiteral("发送文件…"));
    sendFiles->setFocusPolicy(Qt::NoFocus);
    connect(sendFiles, &QPushButton::clicked, this, &MacRemoteSessionView::chooseFiles);
    desktopOnly.push_back(sendFiles);
    row->addWidget(sendFiles);
    receiveFiles = new QPushButton;
    receiveFiles->setFocusPolicy(Qt::NoFocus);
    connect(receiveFiles, &QPushButton::clicked, this, [this] { shown->acceptRemoteFiles(); });
    row->addWidget(receiveFiles);
    transferProgress = new QProgressBar;
    transferProgress->setRange(0, kProgressSteps);
    transferProgress->setTextVisible(false);
    transferProgress->setFixedWidth(kTransferBarWidth);
    row->addWidget(transferProgress);
    transferState = plain();
    transferState->setWordWrap(false);
    row->addWidget(transferState);
    row->addStretch();
    return box;
}

QWidget* MacRemoteSessionView::makeCard() {
    auto* frame = new QFrame;
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setAutoFillBackground(true);
    frame->setMaximumWidth(kCardWidth);
    auto* busy = new QProgressBar;
    busy->setRange(0, 0);
    busy->setTextVisible(false);
    status = plain();
    status->setAlignment(Qt::AlignCenter);
    auto* column = new QVBoxLayout(frame);
    column->addWidget(busy);
    column->addWidget(status);
    return frame;
}

QWidget* MacRemoteSessionView::makePrompt() {
    auto* frame = new QFrame;
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setAutoFillBackground(true);
    frame->setMaximumWidth(kCardWidth);
    password = new QLineEdit;
    password->setEchoMode(QLineEdit::Password);
    password->setPlaceholderText(QStringLiteral("配对密码"));
    auto* pair = new QPushButton(QStringLiteral("配对并连接"));
    connect(pair, &QPushButton::clicked, this, &MacRemoteSessionView::submitPassword);
    connect(password, &QLineEdit::returnPressed, this, &MacRemoteSessionView::submitPassword);
    auto* note = plain(QStringLiteral("对方确认后会信任%1，以后无需密码。")
                           .arg(QString::fromUtf8(platformWords::kThisComputer)));
    auto* column = new QVBoxLayout(frame);
    column->addWidget(password);
    column->addWidget(pair);
    column->addWidget(note);
    frame->hide();
    return frame;
}

void MacRemoteSessionView::observeSession() {
    const MacRemoteSessionState& state = shown->state();
    subscriptions.push_back(state.device.observe([this](const MacDevice& device) { deviceChanged(device); }));
    subscriptions.push_back(state.status.observe([this](const std::string& text) {
        status->setText(QString::fromStdString(text));
        placeOverlays();
    }));
    subscriptions.push_back(state.route.observe([this](const auto&) { refreshRoute(); }));
    subscriptions.push_back(state.frameSize.observe([this](const std::optional<std::string>&) {
        refreshRoute();
        placeOverlays();
    }));
    subscriptions.push_back(state.needsPassword.observe([this](bool) { placeOverlays(); }));
    subscriptions.push_back(state.remoteFiles.observe([this](const auto&) { refreshTransfer(); }));
    subscriptions.push_back(state.transferProgress.observe([this](const auto&) { refreshTransfer(); }));
    subscriptions.push_back(state.transferNote.observe([this](const std::string&) { refreshTransfer(); }));
    deviceChanged(state.device.get());
    status->setText(QString::fromStdString(state.status.get()));
    // The client changes with every attempt (a LAN retry, reconnecting): the view follows it.
    subscriptions.push_back(state.status.observe([this](const std::string&) { followClient(); }));
    subscriptions.push_back(state.frameSize.observe([this](const auto&) { followClient(); }));
    followClient();
    refreshRoute();
}

void MacRemoteSessionView::followClient() {
    const auto& client = shown->client();
    // Held weakly: the frame store lives inside the client and goes with it.
    view->setFrames(client ? std::weak_ptr<const VideoFrameStore>(
                                 std::shared_ptr<const VideoFrameStore>(client, &client->frames))
                           : std::weak_ptr<const VideoFrameStore>());
}

void MacRemoteSessionView::deviceChanged(const MacDevice& device) {
    view->setTarget(device);
    // Paste hand-over and dropped files only for a computer: phones take neither.
    std::weak_ptr<MacRemoteSession> weak = shown;
    if (isDesktopPlatform(device.platform)) {
        view->input().beforePaste = [weak]() -> std::optional<double> {
            auto session = weak.lock();
            return session ? session->prepareRemotePaste() : std::optional<double>(0.0);
        };
        view->setDropFiles([weak](std::vector<std::filesystem::path> files) {
            if (auto session = weak.lock()) session->sendFiles(std::move(files));
        });
    } else {
        view->input().beforePaste = nullptr;
        view->setDropFiles(nullptr);
    }
    name->setText(sessionTitle(device));
    emit titleChanged(sessionTitle(device));
    viewOnly->setVisible(isViewOnly(device));
    refreshStrip();
}

void MacRemoteSessionView::refreshStrip() {
    const MacDevice& device = shown->state().device.get();
    bool desktop = isDesktopPlatform(device.platform);
    static const char* const kDesktopLabels[] = {"Esc", "桌面", "窗口"};
    static const char* const kPhoneLabels[] = {"安卓返回", "安卓主页", "最近任务"};
    for (size_t i = 0; i < actionButtons.size(); ++i)
        actionButtons[i]->setText(QString::fromUtf8(desktop ? kDesktopLabels[i] : kPhoneLabels[i]));
    for (QWidget* widget : desktopOnly) {
        widget->setVisible(desktop);
        widget->setToolTip(device.platform == "macos"
                               ? QStringLiteral("切换对方 Mac 的输入法（也可以按 Caps Lock）")
                               : QStringLiteral("切换对方电脑的输入法（也可以按 Caps Lock）"));
    }
    strip->setVisible(!isViewOnly(device));
    strip->setEnabled(device.capabilities.inputReady);
    refreshTransfer();
}

// Files the remote side offered, the running transfer, or else its last note.
void MacRemoteSessionView::refreshTransfer() {
    const MacRemoteSessionState& state = shown->state();
    bool desktop = isDesktopPlatform(state.device.get().platform);
    size_t offered = state.remoteFiles.get().size();
    receiveFiles->setText(QStringLiteral("接收对方复制的 %1 个文件").arg(offered));
    receiveFiles->setVisible(desktop && offered > 0);
    const auto& progress = state.transferProgress.get();
    transferProgress->setVisible(desktop && progress.has_value());
    if (progress) {
        int64_t total = std::max<int64_t>({progress->total, progress->done, 1});
        transferProgress->setValue(
            int(std::clamp<int64_t>(progress->done, 0, total) * kProgressSteps / total));
        QString name = transferState->fontMetrics().elidedText(
            QString::fromStdString(displaySafe(progress->name)), Qt::ElideMiddle, kTransferNameWidth);
        transferState->setText((progress->incoming ? QStringLiteral("接收 ") : QStringLiteral("发送 ")) +
                               name);
    } else {
        transferState->setText(QString::fromStdString(state.transferNote.get()));
    }
    transferState->setVisible(desktop && !transferState->text().isEmpty());
}

void MacRemoteSessionView::chooseFiles() {
    auto* dialog = new QFileDialog(this, QStringLiteral("文件会保存到对方的“下载/Quorlinth”文件夹"));
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("发送"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    std::weak_ptr<MacRemoteSession> weak = shown;
    connect(dialog, &QFileDialog::filesSelected, this, [weak](const QStringList& chosen) {
        auto session = weak.lock();
        if (!session || chosen.isEmpty()) return;
        std::vector<std::filesystem::path> files;
        for (const QString& file : chosen)
            files.emplace_back(file.toStdString());
        session->sendFiles(std::move(files));
    });
    dialog->open();
}

void MacRemoteSessionView::refreshRoute() {
    const MacRemoteSessionState& state = shown->state();
    if (const auto& current = state.route.get())
        route->setText(QString::fromStdString(routeTitle(*current)));
    else if (state.frameSize.get())
        route->setText(QStringLiteral("链路确认中"));
    route->setVisible(state.route.get() || state.frameSize.get());
}

void MacRemoteSessionView::setFullScreen(bool on) {
    if (fullScreen == on) return;
    fullScreen = on;
    fullScreenButton->setText(on ? QStringLiteral("退出全屏") : QStringLiteral("全屏"));
    auto* column = static_cast<QVBoxLayout*>(layout());
    if (on) {
        // The picture takes the whole screen; the bar floats over it.
        column->removeWidget(controls);
        controls->setParent(stage);
        controls->show();
        showControls();
    } else {
        hideTask.stop();
        controlsVisible = true;
        controls->setParent(this);
        column->insertWidget(0, controls);
        controls->show();
    }
    applyFill();
    placeOverlays();
}

void MacRemoteSessionView::showControls() {
    controlsVisible = true;
    placeOverlays();
    armHiding();
}

void MacRemoteSessionView::armHiding() {
    hideTask.stop();
    if (fullScreen) hideTask.start();
}

void MacRemoteSessionView::applyFill() {
    bool fill = defaults.boolean(kFillScreenKey).value_or(false);
    QSignalBlocker blockFit(fitChoice), blockFill(fillChoice);
    (fill ? fillChoice : fitChoice)->setChecked(true);
    picker->setVisible(fullScreen);
    // In a window the picture is always fitted.
    view->setFill(fullScreen && fill);
}

void MacRemoteSessionView::placeOverlays() {
    QRect area = stage->rect();
    view->setGeometry(area);
    const MacRemoteSessionState& state = shown->state();
    bool asking = state.needsPassword.get();
    prompt->setVisible(asking);
    card->setVisible(!state.frameSize.get() && !asking);
    for (QWidget* overlay : {card, prompt}) {
        if (overlay->isHidden()) continue;
        QSize size = overlay->sizeHint().boundedTo(QSize(kCardWidth, area.height()));
        size.setWidth(std::min(kCardWidth, area.width()));
        overlay->setGeometry(QRect(area.center() - QPoint(size.width() / 2, size.height() / 2), size));
        overlay->raise();
    }
    if (fullScreen) {
        controls->setVisible(controlsVisible);
        controls->setGeometry(0, 0, area.width(), controls->sizeHint().height());
        controls->raise();
        handle->setVisible(!controlsVisible);
        handle->move((area.width() - kHandleWidth) / 2, 0);
        handle->raise();
    } else {
        handle->hide();
    }
}

bool MacRemoteSessionView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == stage && event->type() == QEvent::Resize) placeOverlays();
    if (watched == controls) {
        switch (event->type()) {
        case QEvent::Enter:
            controlsHovered = true;
            hideTask.stop();
            break;
        case QEvent::Leave:
            controlsHovered = false;
            armHiding();
            break;
        case QEvent::MouseButtonDblClick:
            // Like a title bar: outside full screen a double click maximizes or restores.
            if (!fullScreen) window()->isMaximized() ? window()->showNormal() : window()->showMaximized();
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MacRemoteSessionView::grabFocus() {
    const MacDevice& device = shown->state().device.get();
    bool inputTarget = device.platform != "ios" && device.capabilities.inputReady;
    if (!inputTarget || qobject_cast<QLineEdit*>(QApplication::focusWidget())) return;
    view->setFocus(Qt::ActiveWindowFocusReason);
}

void MacRemoteSessionView::windowActivated() {
    shown->pushClipboard();
    grabFocus();
}

void MacRemoteSessionView::submitPassword() {
    QString typed = password->text().trimmed();
    if (typed.toUcs4().size() < kMinimumPasswordLength) return;
    password->clear();
    shown->retryLAN(typed.toStdString());
}

void MacRemoteSessionView::pictureShown(QSize size) {
    MacLog::shared().log("[" + displaySafe(shown->state().device.get().name) + "] 画面 " +
                         std::to_string(size.width()) + "×" + std::to_string(size.height()) + " 已显示");
}

void MacRemoteSessionView::logStats() {
    uint64_t total = view->framesShown();
    MacLog::shared().log("[" + displaySafe(shown->state().device.get().name) + "] 每秒显示 " +
                         std::to_string(total - statsFrames) + " 帧，共 " + std::to_string(total) + " 帧");
    statsFrames = total;
}

} // namespace quorlinth
