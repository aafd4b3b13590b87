#pragma once

#include "stream.h"

class LinuxStream final : public Stream
{
public:
    void SaveToFile(const QByteArray &bytes, const QString &path) override;
};
