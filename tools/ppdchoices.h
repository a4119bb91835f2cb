// ppdchoices: the PPD choices whose names are not the parameter table's words, shared by
// the PPD generator (makeppd) and the CUPS front end (velnora-cups), so a PPD offers
// only what the filter takes; and the PWG keywords of media sources and types, shared by
// velnora-cups and the printer application (velnora-printer-app). Every other choice of the generated PPDs is a word of the
// parameter table as it stands.
#pragma once

// A PPD choice and the parameter table's word it selects.
struct PpdChoice {
    const char* pszChoice;
    const char* pszWord;
    const char* pszLabel;
};

// ColorModel: CUPS maps print-color-mode onto these names.
constexpr PpdChoice tblPpdColorModel[] = {
    {"RGB", "FullColor", "Color"}, {"Gray", "Mono", "Grayscale"}, {"Auto", "Auto", "Automatic"}};
// cupsPrintQuality (VNResolution): CUPS maps print-quality 4 and 5 onto these names.
constexpr PpdChoice tblPpdQuality[] = {{"Normal", "Normal", "Normal (600 dpi)"}, {"High", "Fine", "Fine (2400 dpi class)"}};
// A PPD Boolean over an ON/OFF row.
constexpr PpdChoice tblPpdBoolean[] = {{"True", "ON", "On"}, {"False", "OFF", "Off"}};

// What a value selects: its CUPS or PWG spelling and the parameter table's word.
struct WordAlias {
    const char* pszValue;
    const char* pszWord;
};

// media-source and media-type: the PWG keywords IPP clients send, besides the PPD names.
constexpr WordAlias tblSourceAlias[] = {{"auto", "AutoSelect"}, {"tray-1", "Tray1"}, {"tray-2", "Tray2"},
                                        {"tray-3", "Tray3"}, {"tray-4", "Tray4"}, {"tray-5", "Tray5"},
                                        {"by-pass-tray", "MPTray"}, {"manual", "Manual"},
                                        {"auto-select", "AutoSelect"}, {"mp-tray", "MPTray"}};
constexpr WordAlias tblTypeAlias[] = {{"stationery", "Plain"}, {"stationery-lightweight", "Thin"},
                                      {"stationery-heavyweight", "Thick"}, {"cardstock", "Thicker"},
                                      {"stationery-bond", "BOND"}, {"stationery-recycled", "Recycled"},
                                      {"envelope", "Env"}, {"envelope-lightweight", "EnvThin"},
                                      {"envelope-heavyweight", "EnvThick"}, {"postcard", "PostCard"},
                                      {"labels", "Label"}, {"glossy", "Glossy"}};
