#pragma once

#include "projects/projectspanel.h"

#include <QTimer>

// Reaches the projects panel's inner steps for tests and benchmarks.
class CProjectsPanelProbe {
public:
    static void reload(CProjectsPanel& panel) { panel.reload(); }
    static void selectItem(CProjectsPanel& panel, const QString& filePath, int commandIndex)
    {
        panel.selectItem(filePath, commandIndex);
    }
    // Times out once per debounced reload.
    static QTimer& reloadTimer(CProjectsPanel& panel) { return panel.m_reloadTimer; }
    static qsizetype deviceCount(const CProjectsPanel& panel) { return panel.m_devices.size(); }
    static const QList<CI2cDeviceFile>& devices(const CProjectsPanel& panel)
    {
        return panel.m_devices;
    }
    static qsizetype errorCount(const CProjectsPanel& panel) { return panel.m_errors.size(); }
};
