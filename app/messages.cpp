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
    const char *french;
    const char *german;
    const char *portuguese;
};

// Message n is at index n - 1, one row per message in the order Spanish, English,
// French, German, Portuguese. Blanks at either end are part of the texts: the
// pieces of a question are joined with the file name and nothing else between
// them. French puts a no-break space before "?" and ":", as its typography asks;
// German ends the cancel question with its verb. Portuguese is written as spoken
// in Brazil, like the standard buttons that come with it.
constexpr std::array<Texts, 43> Table = {{
    {" Descarga on line de Orbistane.", " OnLine Download Orbistane.",
     " Téléchargement en ligne d'Orbistane.", " Online-Download von Orbistane.",
     " Download online do Orbistane."},
    {"Seleccione la version de Orbistane:", "Select version of Orbistane:",
     "Sélectionnez la version d'Orbistane\u00A0:", "Wählen Sie die Version von Orbistane:",
     "Selecione a versão do Orbistane:"},
    {"< Seleccione versión >", "< Select version >", "< Sélectionnez une version >",
     "< Version auswählen >", "< Selecione a versão >"},
    {"Aceptar", "OK", "OK", "OK", "OK"},
    {"Cancelar", "Cancel", "Annuler", "Abbrechen", "Cancelar"},
    {"Descargando ...", "Downloading ...", "Transfert ...", "Lädt herunter ...", "Baixando ..."},
    {"No hay tamaño de fichero.", "No file size found.", "Taille du fichier introuvable.",
     "Keine Dateigröße gefunden.", "Tamanho do arquivo não encontrado."},
    // 8 and 9: the cancel question, with the file name between.
    {"Desea cancelar la descarga de Orbistane ", "Do you want to cancel downloading of Orbistane ",
     "Voulez-vous annuler le téléchargement d'Orbistane ",
     "Möchten Sie den Download von Orbistane ", "Deseja cancelar o download do Orbistane "},
    {"?", "?", "\u00A0?", " abbrechen?", "?"},
    {"Por favor, seleccione una version de Orbistane a descargar.",
     "Please select a Version of Orbistane to download.",
     "Veuillez sélectionner une version d'Orbistane à télécharger.",
     "Bitte wählen Sie eine Version von Orbistane zum Herunterladen aus.",
     "Selecione uma versão do Orbistane para baixar."},
    // 11 to 13: the re-download question, with the file name after 11 and a line
    // break before 13.
    {"Versión: ", "Version: ", "La version ", "Die Version ", "A versão "},
    {" ya se descargo.", " was downloaded yet.", " a déjà été téléchargée.",
     " wurde bereits heruntergeladen.", " já foi baixada."},
    {"¿Desea descargarlo otra vez?", "Do you want to download it again?",
     "Voulez-vous la télécharger à nouveau\u00A0?", "Möchten Sie sie erneut herunterladen?",
     "Deseja baixá-la novamente?"},
    // 14 to 16: the install question, 14 on a line of its own and the file name
    // between 15 and 16.
    {"Descarga satisfactoria.", "Sucessfull download.", "Téléchargement réussi.",
     "Download erfolgreich.", "Download concluído."},
    {"¿Desea instalar Orbistane ", "Do you want to install Orbistane ",
     "Voulez-vous installer Orbistane ", "Möchten Sie Orbistane ", "Deseja instalar o Orbistane "},
    {" ahora?", " now?", " maintenant\u00A0?", " jetzt installieren?", " agora?"},
    {"Salvar Como", "Save As", "Enregistrer sous", "Speichern unter", "Salvar como"},
    {"< Seleccione directorio de destino >", "< Select destiny folder >",
     "< Sélectionnez le dossier de destination >", "< Zielordner auswählen >",
     "< Selecione a pasta de destino >"},
    {"Seleccione un directorio de destino: ", "Select a destiny folder: ",
     "Sélectionnez un dossier de destination\u00A0: ", "Wählen Sie einen Zielordner: ",
     "Selecione uma pasta de destino: "},
    {"La unidad no es válida.", "Unit no validate.", "Ce lecteur n'est pas valide.",
     "Dieses Laufwerk ist ungültig.", "Esta unidade não é válida."},
    {"Espacio libre: ", "Free space: ", "Espace libre\u00A0: ", "Freier Speicherplatz: ",
     "Espaço livre: "},
    {"Debe seleccionar un directorio de destino.", "Please, you have to select a destiny folder.",
     "Veuillez sélectionner un dossier de destination.", "Bitte wählen Sie einen Zielordner aus.",
     "Selecione uma pasta de destino."},
    // A file already in the folder whose SHA-256 is not the one listed: file name between.
    {"El fichero ", "The file ", "Le fichier ", "Die Datei ", "O arquivo "},
    {" de la carpeta de destino no es la versión de la lista: su contenido es distinto. "
     "No se iniciará.",
     " in the destination folder is not the release on the list: its contents differ. "
     "It will not be started.",
     " du dossier de destination n'est pas la version de la liste\u00A0: son contenu est "
     "différent. Il ne sera pas lancé.",
     " im Zielordner ist nicht die Version aus der Liste; ihr Inhalt weicht ab. "
     "Sie wird nicht gestartet.",
     " da pasta de destino não é a versão da lista: o conteúdo é diferente. "
     "Ele não será iniciado."},
    // 25 to 34, the status line under the progress bar: sizes, durations and its parts;
    // 35, a folder without room for the release. Their %1 to %3 are filled in by arg().
    {"%1 B", "%1 B", "%1 o", "%1 B", "%1 B"},
    {"%1 kB", "%1 kB", "%1 ko", "%1 kB", "%1 kB"},
    {"%1 MB", "%1 MB", "%1 Mo", "%1 MB", "%1 MB"},
    {"%1 GB", "%1 GB", "%1 Go", "%1 GB", "%1 GB"},
    {"%1 s", "%1 s", "%1 s", "%1 s", "%1 s"},
    {"%1 min %2 s", "%1 min %2 s", "%1 min %2 s", "%1 min %2 s", "%1 min %2 s"},
    {"%1 h %2 min", "%1 h %2 min", "%1 h %2 min", "%1 h %2 min", "%1 h %2 min"},
    {"quedan %1", "%1 left", "temps restant\u00A0: %1", "noch %1", "faltam %1"},
    {"%1 recibidos", "%1 received", "%1 reçus", "%1 empfangen", "%1 recebidos"},
    {"Reintento %1 de %2 en %3", "Retry %1 of %2 in %3", "Nouvel essai %1 sur %2 dans %3",
     "Neuer Versuch %1 von %2 in %3", "Nova tentativa %1 de %2 em %3"},
    {"La versión necesita %1, pero el directorio de destino solo tiene %2 libres. "
     "Por favor, seleccione otro directorio.",
     "The release needs %1, but the destination folder has only %2 free. "
     "Please select another folder.",
     "Cette version nécessite %1, mais le dossier de destination n'a que %2 d'espace "
     "libre. Veuillez sélectionner un autre dossier.",
     "Die Version benötigt %1, im Zielordner sind aber nur %2 frei. "
     "Bitte wählen Sie einen anderen Ordner.",
     "A versão precisa de %1, mas a pasta de destino tem apenas %2 livres. "
     "Selecione outra pasta."},
    // 36 follows message 23 and the file name: the file checked is no longer the
    // one at its name when it is to be started.
    {" de la carpeta de destino fue sustituido o modificado después de comprobarlo. "
     "No se iniciará.",
     " in the destination folder was replaced or changed after it was checked. "
     "It will not be started.",
     " du dossier de destination a été remplacé ou modifié après sa vérification. "
     "Il ne sera pas lancé.",
     " im Zielordner wurde nach der Prüfung ersetzt oder verändert. "
     "Sie wird nicht gestartet.",
     " da pasta de destino foi substituído ou alterado depois de verificado. "
     "Ele não será iniciado."},
    // 37, the status line once the download is whole: %1 is its size.
    {"Descarga completada: %1", "Download complete: %1", "Téléchargement terminé\u00A0: %1",
     "Download abgeschlossen: %1", "Download concluído: %1"},
    // 38, before the rate while a server other than the first serves the release:
    // %1 is its host, %2 its place among the %3 servers.
    {"%1 (%2 de %3)", "%1 (%2 of %3)", "%1 (%2 sur %3)", "%1 (%2 von %3)", "%1 (%2 de %3)"},
    // 39, the status line once the download is whole, when it came from a server
    // other than the manifest's: %1 is its size, %2 the server.
    {"Descarga completada: %1 desde %2", "Download complete: %1 from %2",
     "Téléchargement terminé\u00A0: %1 depuis %2", "Download abgeschlossen: %1 von %2",
     "Download concluído: %1 de %2"},
    // 40, before the rate while several servers serve the release at once: %1
    // is how many, always 2 or more.
    {"%1 servidores", "%1 servers", "%1 serveurs", "%1 Server", "%1 servidores"},
    // 41, for a moment after a server sent damaged data and was left: %1 is its
    // host, %2 how many servers carry on.
    {"%1 envió datos dañados; se sigue con %2 servidores",
     "%1 sent damaged data; carrying on with %2 servers",
     "%1 a envoyé des données endommagées ; la suite vient de %2 serveurs",
     "%1 hat beschädigte Daten gesendet; weiter mit %2 Servern",
     "%1 enviou dados danificados; continuando com %2 servidores"},
    // 42, while the bytes an earlier run left are checked and for a moment
    // after, before the rate: %1 is how much was kept.
    {"Continuando desde %1", "Carrying on from %1", "Reprise à partir de %1", "Fortsetzung ab %1",
     "Continuando a partir de %1"},
    // 43, why suspend is held off, where the desktop lists it: %1 is the
    // release's name.
    {"Descargando %1", "Downloading %1", "Téléchargement de %1", "%1 wird heruntergeladen",
     "Baixando %1"},
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
        const Texts &texts = Table[n - 1];
        Messages.set(Language::Spanish, n, QString::fromUtf8(texts.spanish));
        Messages.set(Language::English, n, QString::fromUtf8(texts.english));
        Messages.set(Language::French, n, QString::fromUtf8(texts.french));
        Messages.set(Language::German, n, QString::fromUtf8(texts.german));
        Messages.set(Language::Portuguese, n, QString::fromUtf8(texts.portuguese));
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

QLocale languageLocale(int language)
{
    switch (language) {
    case Language::Spanish:
        return QLocale(QLocale::Spanish);
    case Language::French:
        return QLocale(QLocale::French);
    case Language::German:
        return QLocale(QLocale::German);
    case Language::Portuguese:
        // Brazil's, like the texts: Qt ships its own Portuguese only as Brazil's.
        return QLocale(QLocale::Portuguese, QLocale::Brazil);
    default:
        return QLocale(QLocale::English);
    }
}
