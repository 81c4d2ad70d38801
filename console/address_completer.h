// The suggestions of the address box: the addresses connected to before. While
// the list is open, a click elsewhere closes it and still does what it says;
// a text that is already the one suggestion shows no list.
#pragma once

#include <QCompleter>

class QAbstractItemModel;

namespace kivo {

class AddressCompleter : public QCompleter {
    Q_OBJECT
public:
    AddressCompleter(QAbstractItemModel* model, QObject* parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace kivo
