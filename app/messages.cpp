#include "messages.h"

#include "runtime_error.h"
#include "shell.h"

#include <array>

MessageTable Messages;
QString LanguageId;

namespace {

struct Texts
{
    const char *spanish;
    const char *english;
};

// Message n is at index n - 1. Blanks at either end are part of the texts.
constexpr std::array<Texts, 35> Table = {{
    {" Descarga on line de Orbistane.", " OnLine Download Orbistane."},
    {"Seleccione la version de Orbistane:", "Select version of Orbistane:"},
    {"< Seleccione versión >", "< Select version >"},
    {"Aceptar", "OK"},
    {"Cancelar", "Cancel"},
    {"Descargando ...", "Downloading ..."},
    {"No hay tamaño de fichero.", "No file size found."},
    {"Desea cancelar la descarga de Orbistane ",
     "Do you want to cancel downloading of Orbistane "},
    {"?", "?"},
    {"Por favor, seleccione una version de Orbistane a descargar.",
     "Please select a Version of Orbistane to download."},
    {"Versión: ", "Version: "},
    {" ya se descargo.", " was downloaded yet."},
    {"¿Desea descargarlo otra vez?", "Do you want to download it again?"},
    {"Descarga satisfactoria.", "Sucessfull download."},
    {"¿Desea instalar Orbistane ", "Do you want to install Orbistane "},
    {" ahora?", " now?"},
    {"Salvar Como", "Save As"},
    {"< Seleccione directorio de destino >", "< Select destiny folder >"},
    {"Seleccione un directorio de destino: ", "Select a destiny folder: "},
    {"La unidad no es válida.", "Unit no validate."},
    {"Espacio libre: ", "Free space: "},
    {"Debe seleccionar un directorio de destino.",
     "Please, you have to select a destiny folder."},
    // A file already in the folder whose SHA-256 is not the one listed: file name between.
    {"El fichero ", "The file "},
    {" de la carpeta de destino no es la versión de la lista: su contenido es distinto. "
     "No se iniciará.",
     " in the destination folder is not the release on the list: its contents differ. "
     "It will not be started."},
    // 25 to 34, the status line under the progress bar: sizes, durations and its parts;
    // 35, a folder without room for the release. Their %1 to %3 are filled in by arg().
    {"%1 B", "%1 B"},
    {"%1 kB", "%1 kB"},
    {"%1 MB", "%1 MB"},
    {"%1 GB", "%1 GB"},
    {"%1 s", "%1 s"},
    {"%1 min %2 s", "%1 min %2 s"},
    {"%1 h %2 min", "%1 h %2 min"},
    {"quedan %1", "%1 left"},
    {"%1 recibidos", "%1 received"},
    {"Reintento %1 de %2 en %3", "Retry %1 of %2 in %3"},
    {"La versión necesita %1, pero el directorio de destino solo tiene %2 libres. "
     "Por favor, seleccione otro directorio.",
     "The release needs %1, but the destination folder has only %2 free. "
     "Please select another folder."},
}};

RuntimeError subscriptOutOfRange()
{
    return RuntimeError(9, QStringLiteral("Subscript out of range"));
}

} // namespace

void MessageTable::resize(int lastMessage)
{
    m_cells.resize(LanguageCount);
    for (QList<QString> &language : m_cells) {
        language.resize(lastMessage + 1);
    }
}

void MessageTable::set(int language, int message, const QString &text)
{
    if (language < 0 || language >= m_cells.size() || message < 0 ||
        message >= m_cells[language].size()) {
        throw subscriptOutOfRange();
    }
    m_cells[language][message] = text;
}

QString MessageTable::at(int language, int message) const
{
    if (language < 0 || language >= m_cells.size() || message < 0 ||
        message >= m_cells[language].size()) {
        throw subscriptOutOfRange();
    }
    return m_cells[language][message];
}

int MessageTable::lastMessage() const
{
    return m_cells.isEmpty() ? -1 : static_cast<int>(m_cells.first().size()) - 1;
}

qint16 InitLanguage(Shell &shell)
{
    const QString value = shell.RegRead(QStringLiteral("sLanguage"));
    const QString abbreviation = value.left(2).toUpper();
    qint16 language = Language::English;
    if (abbreviation == QLatin1String("ES")) {
        language = Language::Spanish;
    } else if (abbreviation == QLatin1String("EN")) {
        language = Language::English;
    } else if (abbreviation == QLatin1String("FR")) {
        language = Language::French;
    } else if (abbreviation == QLatin1String("DE")) {
        language = Language::German;
    } else if (abbreviation == QLatin1String("PT")) {
        language = Language::Portuguese;
    }

    Messages = MessageTable();
    Messages.resize(1);
    const int last = static_cast<int>(Table.size());
    for (int n = 1; n <= last; ++n) {
        Messages.set(Language::Spanish, n, QString::fromUtf8(Table[n - 1].spanish));
        Messages.set(Language::English, n, QString::fromUtf8(Table[n - 1].english));
        if (n != last) {
            Messages.resize(n + 1);
        }
    }
    return language;
}

QString message(int n)
{
    return Messages.at(LanguageId.toInt(), n);
}
