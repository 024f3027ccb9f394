// Runs a piece of work on the thread of a Qt object: at once when the caller is on it, else
// queued there while the caller waits, so events raised by a send on its own thread reach the
// windows one at a time and in the order raised.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <utility>

namespace larkpost {

template <class F>
void OnGuiThread(QObject* context, F&& work) {
    if (QThread::currentThread() == context->thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(context, std::forward<F>(work), Qt::BlockingQueuedConnection);
}

}  // namespace larkpost
