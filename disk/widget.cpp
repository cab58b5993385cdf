#include "disk/widget.h"

QList<ScanTarget>& scanTargetList()
{
    static QList<ScanTarget> list;
    return list;
}
