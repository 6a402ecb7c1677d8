// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

class QWidget;

namespace vistrel {

enum class MessageIcon { None, Error, Exclamation, Information };

// The one way the program shows a message box. The user interface supplies a
// reporter backed by QMessageBox; tests supply one that records the texts.
// Called on the user-interface thread only.
class IMessageReporter {
public:
    virtual ~IMessageReporter() = default;
    virtual void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) = 0;
};

// Modal QMessageBox with an OK button, owned by `parent` when one is given.
class QtMessageReporter : public IMessageReporter {
public:
    explicit QtMessageReporter(QWidget* parent = nullptr)
        : parent_(parent)
    {
    }
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override;
    void setParent(QWidget* parent) { parent_ = parent; }

private:
    QWidget* parent_;
};

} // namespace vistrel
