#pragma once

#include <QRect>

#include <cstring>

// The window at its own size, and where each control stands in its parent. The window keeps
// the top panel's height when resized; the bottom panel takes the rest.
inline constexpr int ClientWidth = 447;
inline constexpr int ClientHeight = 168;
inline constexpr int TopPanelHeight = 132;

struct ControlPlace {
    const char *name;
    QRect geometry;
};

inline constexpr ControlPlace FormLayout[] = {
    {"Panel_Main", {0, 0, ClientWidth, TopPanelHeight}},
    {"Label1", {16, 14, 36, 16}},
    {"Label2", {16, 40, 58, 16}},
    {"Label3", {254, 14, 69, 16}},
    {"Shape_ComState", {26, 16, 11, 11}},
    {"CB_Com", {90, 10, 150, 23}},
    {"CB_Upg", {90, 36, 150, 23}},
    {"Edit_FileName", {90, 62, 342, 21}},
    {"Edit_Start", {90, 88, 342, 21}},
    {"Edit_Bau", {332, 10, 100, 21}},
    {"ProgressBarMain", {12, 115, 420, 12}},
    {"Panel3", {12, 62, 70, 23}},
    {"SB_Open", {0, 0, 70, 23}},
    {"Panel4", {12, 88, 70, 23}},
    {"SB_Sta", {0, 0, 70, 23}},
    {"Panel6", {0, TopPanelHeight, ClientWidth, ClientHeight - TopPanelHeight}},
    {"Panel5", {300, 4, 64, 22}},
    {"SB_Reset", {0, 0, 64, 22}},
    {"Panel2", {369, 4, 64, 22}},
    {"SB_Close", {0, 0, 64, 22}},
};

// Where the control `name` stands; an empty rectangle for a name the table does not hold.
inline QRect PlaceOf(const char *name) {
    for (const ControlPlace &place : FormLayout)
        if (std::strcmp(place.name, name) == 0)
            return place.geometry;
    return {};
}
