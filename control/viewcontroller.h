#pragma once

#include "host/hostconfig.h"
#include "host/servicestate.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <functional>
#include <memory>

namespace Ui {
class MainWindow;
}
class QTimer;

// hh:mm:ss of a number of seconds; the hours grow past two digits rather than wrap.
QString uptimeText(qint64 seconds);

// A button drawn as a link: its text underlined in the palette's link colour on the window's background,
// and in the highlight's colours while it has the focus. Drawn by itself rather than by a style sheet,
// which would bring the whole style sheet machinery into the panel for two buttons.
class LinkButton : public QPushButton {
public:
    using QPushButton::QPushButton;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A state's title: its mark in the state's colour, then the title in the label's own. Drawn by itself
// rather than as rich text, which would bring Qt's text document with its HTML and CSS parsers into the
// panel for one coloured sign.
class StateTitle : public QLabel {
    Q_OBJECT
    Q_PROPERTY(QString mark READ mark WRITE setMark)
    Q_PROPERTY(QColor markColor READ markColor WRITE setMarkColor)

public:
    using QLabel::QLabel;
    QString mark() const { return mark_; }
    void setMark(const QString& mark);
    QColor markColor() const { return markColor_; }
    void setMarkColor(const QColor& color);

protected:
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // Room for the mark and a space before the title, on the side the text starts.
    void makeRoom();

    QString mark_;
    QColor markColor_;
};

// The busy view's bar, which may show for as long as an administrator prompt stays open. Its style asks for
// a frame of the moving stripes 60 times a second, each a few hundred thousand instructions of smoothed
// strokes; it draws every third, and the stripes keep their speed, as the style places them by the clock.
class BusyBar : public QProgressBar {
public:
    using QProgressBar::QProgressBar;

protected:
    bool event(QEvent* event) override;

private:
    int frames_ = 0;
};

// The service-control screen: the window's content. It shows whether the node runs (busy, running and
// stopped views), counts its uptime, starts and stops it, and opens the account and legal pages.
class ViewController : public QWidget {
    Q_OBJECT

public:
    explicit ViewController(QWidget* parent = nullptr);

    // Called once the window's layout has created the controls (ui, owned by the window): starts the clock,
    // restores the agreement and issues the first status query. whilePaused runs in the 0.2 s pause before
    // that query: work the window needs before it shows, done while the main thread is held anyway.
    void viewDidLoad(const Ui::MainWindow* ui, std::shared_ptr<const HostConfig> config,
                     const std::function<void()>& whilePaused = {});

    // Actions. sender is the control that triggered them.
    void startButtonClick(QObject* sender);
    void stopButtonClick(QObject* sender);
    void viewButtonClick(QObject* sender);
    void linkClick(QObject* sender);
    void agreeClick(QObject* sender);

    // Once a second: advances the uptime clock and checks the node every five seconds: of uptime while it
    // runs, and of the stopped view while that shows.
    void timerTick();

    // The status monitor. handleStatus reacts to the state the last query stored; every query hands it
    // over to the main thread. refreshStateViews may be called from any thread and changes the views on
    // the main thread, unless a start or stop is under way: that one's busy view stays until it hands
    // over. showProgress runs on the main thread.
    void handleStatus();
    void refreshStateViews();
    void showProgress(const QString& text);

    // Reports the start and runs it in the background; the busy view is already up.
    void startService();

signals:
    // Each second the uptime clock counts while the node runs, for those who show it elsewhere.
    void uptimeCounted(qint64 seconds);

protected:
    // Measures the uptime clock again when its font or style changes.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void queryStatus();
    void lockAgreement();
    void followPalette();
    // Says in words, under the state, why the start (verb "up") or stop failed; it stays until the next
    // start or stop, or until the node starts or stops. An empty text takes it away.
    void showFailure(const QString& verb, const QString& message);
    void setFailureText(const QString& text);
    // A notice on the desktop, unless the user has the window in front.
    void tellDesktop(const QString& summary, const QString& body);
    // Opens a page in the browser, or says under the state that it could not.
    void openPage(const QUrl& url);
    void clearPageFailure();
    void fitWindow();
    std::function<void()> scriptJob(const QString& verb, const QString& successLine,
                                    const QString& errorPrefix);

    // The outlets, reached through the window's layout.
    const Ui::MainWindow* ui_ = nullptr;
    std::shared_ptr<const HostConfig> config_;
    QTimer* timer_ = nullptr;
    // Only touched on the main thread, so the clock and the status monitor never interleave.
    qint64 tick_ = -1;
    ServiceState oldStatus_ = ServiceState::deviceStateDown;
    // Seconds the clock has counted while stopped, for the stopped view's own checks.
    qint64 stoppedTick_ = 0;
    // Whether a check of the screen's own (at load, or every five seconds) awaits its answer.
    bool checking_ = false;
    // Start and stop jobs queued and not yet handed over to their check or their return to the views.
    int jobsInFlight_ = 0;
    // Whether this panel's Stop succeeded since the node was last seen running: then its stop is no news.
    bool stopDone_ = false;
    // Whether the words under the state say that a page could not be opened: they last until the next action.
    bool pageFailureShown_ = false;
};
