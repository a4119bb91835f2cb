// ppdchoices: the PPD choices whose names are not the parameter table's words, shared by
// the PPD generator (makeppd) and the CUPS front end (velnora-cups), so a PPD offers
// only what the filter takes. Every other choice of the generated PPDs is a word of the
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
