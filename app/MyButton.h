#pragma once
// Title-bar command button whose text turns red under the mouse.

#include <QPushButton>

class MyButton : public QPushButton {
    Q_OBJECT
public:
    MyButton(const QIcon& icon, const QString& text, QWidget* parent = nullptr);

    // Each replaces the button's whole style sheet; they differ only in colour.
    static const char* const kHoverStyle;
    static const char* const kNormalStyle;

protected:
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
};
