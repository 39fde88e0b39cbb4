// The family registry: one row per family the user can search for, in search
// order. An explicit table, so that no family can drop out of a static library
// unnoticed.
#include "Registry.h"

#include "families/api/CComm_TavikDevice.h"
#include "families/usb/CComm_Harlo.h"
#include "families/usb/CComm_Nesbin.h"
#include "families/usb/CComm_Brantle.h"
#include "families/usb/CComm_Brantle311.h"
#include "families/usb/CComm_BrantleS61.h"
#include "families/usb/CComm_Dorla.h"
#include "families/usb/CComm_Dravik.h"
#include "families/usb/CComm_Olvenna.h"
#include "families/usb/CComm_Pirrel.h"
#include "families/usb/CComm_Quissel.h"
#include "families/usb/CComm_Tesk.h"
#include "families/usb/CComm_Tesk300.h"
#include "families/net/CComm_Evra.h"
#include "families/net/CComm_Gostel2160.h"
#include "families/net/CComm_Hevra5160.h"
#include "families/net/CComm_Jessor.h"
#include "families/net/CComm_Orvel.h"
#include "families/net/CComm_Kalder.h"
#include "families/net/CComm_Yaltro.h"


const FamilyRegistry& BuiltInFamilies() {
    static const FamilyRegistry registry({
        {"Yaltro", RUNTIME_CLASS(CComm_Yaltro), 70, 0},
        {"Olvenna", RUNTIME_CLASS(CComm_Olvenna), 2, 0},
        {"Pirrel - 4U", RUNTIME_CLASS(CComm_Pirrel), 2, 0},
        {"Kalder - 8S33", RUNTIME_CLASS(CComm_Kalder), 2, 0},
        {"Gostel - 2160", RUNTIME_CLASS(CComm_Gostel2160), 10, 1},
        {"Hevra - 5160", RUNTIME_CLASS(CComm_Hevra5160), 10, 1},
        {"Ilvane - Jessor", RUNTIME_CLASS(CComm_Jessor), 5, 1},
        {"Tesk - 100", RUNTIME_CLASS(CComm_Tesk100), 2, 0},
        {"Tesk - 200", RUNTIME_CLASS(CComm_Tesk200), 2, 0},
        {"Tesk - 300", RUNTIME_CLASS(CComm_Tesk300), 2, 0},
        {"Harlo - 101", RUNTIME_CLASS(CComm_Harlo101), 5, 0},
        {"Harlo - 301", RUNTIME_CLASS(CComm_Harlo301), 5, 0},
        {"Harlo - 801", RUNTIME_CLASS(CComm_Harlo801), 5, 0},
        {"Harlo - 802", RUNTIME_CLASS(CComm_Harlo802), 5, 0},
        {"Quissel - 501", RUNTIME_CLASS(CComm_Quissel501), 2, 0},
        {"Quissel - 551", RUNTIME_CLASS(CComm_Quissel551), 2, 0},
        {"Dravik - 100", RUNTIME_CLASS(CComm_Dravik), 2, 0},
        {"Brantle - 302", RUNTIME_CLASS(CComm_Brantle302), 2, 0},
        {"Brantle - 303", RUNTIME_CLASS(CComm_Brantle303), 2, 0},
        {"Brantle - 311", RUNTIME_CLASS(CComm_Brantle311), 2, 0},
        {"Brantle - S61", RUNTIME_CLASS(CComm_BrantleS61), 2, 0},
        {"Pembrix - Evra", RUNTIME_CLASS(CComm_Evra), 2, 0},
        {"Pembrix - Alda", RUNTIME_CLASS(CComm_Alda), 2, 0},
        {"Pembrix - Alda+", RUNTIME_CLASS(CComm_Alda2), 2, 0},
        {"Pembrix - Brisa", RUNTIME_CLASS(CComm_Brisa), 2, 0},
        {"Pembrix - Dorla", RUNTIME_CLASS(CComm_Dorla), 2, 0},
        {"Pembrix - Cygna", RUNTIME_CLASS(CComm_Cygna), 2, 0},
        {kOrvelRowName, RUNTIME_CLASS(CComm_Orvel), 50, 1},
        {"OEM - Nesbin", RUNTIME_CLASS(CComm_Nesbin), 5, 0},
    });
    return registry;
}

void BuildOrvelCatalogue() {
    // The catalogue comes from a temporary Orvel family object's model list.
    std::vector<std::string> names;
    CComm_Orvel().ListCatalogue(names);
    FamilyRegistry::SetOrvelCatalogue(std::move(names));
}

