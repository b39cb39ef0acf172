<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Environment</name>
    <message>
        <source>project file</source>
        <translation>Projektdatei</translation>
    </message>
    <message>
        <source>log file</source>
        <translation>Protokolldatei</translation>
    </message>
    <message>
        <source>alarm log files</source>
        <translation>Alarmprotokolldateien</translation>
    </message>
    <message>
        <source>configuration file</source>
        <translation>Konfigurationsdatei</translation>
    </message>
    <message>
        <source>csv file</source>
        <translation>CSV-Datei</translation>
    </message>
    <message>
        <source>txt file</source>
        <translation>Textdatei</translation>
    </message>
    <message>
        <source>pdf file</source>
        <translation>PDF-Datei</translation>
    </message>
    <message>
        <source>xml file</source>
        <translation>XML-Datei</translation>
    </message>
    <message>
        <source>table file</source>
        <translation>Tabellendatei</translation>
    </message>
    <message>
        <source>html file</source>
        <translation>HTML-Datei</translation>
    </message>
    <message>
        <source>Excel file</source>
        <translation>Excel-Datei</translation>
    </message>
    <message>
        <source>MIRTA xml file</source>
        <translation>MIRTA-XML-Datei</translation>
    </message>
    <message>
        <source>LibreOffice file</source>
        <translation>LibreOffice-Datei</translation>
    </message>
    <message>
        <source>ORLA export file</source>
        <translation>ORLA-Exportdatei</translation>
    </message>
</context>
<context>
    <name>Updater</name>
    <message>
        <source>Checking for updates...</source>
        <translation>Suche nach Aktualisierungen...</translation>
    </message>
    <message>
        <source>Downloading</source>
        <translation>Herunterladen</translation>
    </message>
    <message>
        <source>Network error</source>
        <translation>Netzwerkfehler</translation>
    </message>
    <message>
        <source>Version update</source>
        <translation>Versionsaktualisierung</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>Warnung</translation>
    </message>
    <message>
        <source>Unable to create temporary folder: %1</source>
        <translation>Temporärer Ordner kann nicht angelegt werden: %1</translation>
    </message>
    <message>
        <source>You are using the latest version.</source>
        <translation>Sie verwenden die neueste Version.</translation>
    </message>
    <message>
        <source>New version is available</source>
        <translation>Eine neue Version ist verfügbar</translation>
    </message>
    <message>
        <source>Your version</source>
        <translation>Ihre Version</translation>
    </message>
    <message>
        <source>Do you want to download?</source>
        <translation>Möchten Sie sie herunterladen?</translation>
    </message>
    <message>
        <source>Unable to copy from %1 to %2</source>
        <translation>Kopieren von %1 nach %2 nicht möglich</translation>
    </message>
    <message>
        <source>MD5 sum error!</source>
        <translation>MD5-Prüfsummenfehler!</translation>
    </message>
    <message>
        <source>Failed to update application</source>
        <translation>Die Anwendung konnte nicht aktualisiert werden</translation>
    </message>
    <message>
        <source>New version downloaded</source>
        <translation>Neue Version heruntergeladen</translation>
    </message>
    <message>
        <source>Do you want to install?</source>
        <translation>Möchten Sie sie installieren?</translation>
    </message>
    <message>
        <source>Unable to find downloaded setup file</source>
        <translation>Heruntergeladenes Installationsprogramm nicht gefunden</translation>
    </message>
    <message>
        <source>version</source>
        <translation>Version</translation>
    </message>
    <message>
        <source>expected</source>
        <translation>erwartet</translation>
    </message>
    <message>
        <source>Download error</source>
        <translation>Downloadfehler</translation>
    </message>
    <message>
        <source>You must update application manually.</source>
        <translation>Bitte aktualisieren Sie die Anwendung manuell.</translation>
    </message>
    <message>
        <source>Unable to mount network drive to check setup file.</source>
        <translation>Netzlaufwerk kann zur Prüfung des Installationsprogramms nicht verbunden werden.</translation>
    </message>
    <message>
        <source>Couldn&apos;t read version file!</source>
        <translation>Versionsdatei kann nicht gelesen werden!</translation>
    </message>
    <message>
        <source>Version file is too large: %1 bytes (at most %2)</source>
        <translation>Versionsdatei ist zu groß: %1 Bytes (höchstens %2)</translation>
    </message>
    <message>
        <source>Incorrect data in version file.</source>
        <translation>Fehlerhafte Daten in der Versionsdatei.</translation>
    </message>
    <message>
        <source>Incorrect setup file name in version file: %1</source>
        <translation>Ungültiger Name des Installationsprogramms in der Versionsdatei: %1</translation>
    </message>
    <message>
        <source>Web page is too large (more than %1 MiB): %2</source>
        <translation>Webseite ist zu groß (mehr als %1 MiB): %2</translation>
    </message>
    <message>
        <source>Setup file link is not an https address: %1</source>
        <translation>Der Link zum Installationsprogramm ist keine https-Adresse: %1</translation>
    </message>
    <message>
        <source>Setup file link does not end in a plain file name: %1</source>
        <translation>Der Link zum Installationsprogramm endet nicht mit einem einfachen Dateinamen: %1</translation>
    </message>
    <message>
        <source>Too many redirects (more than %1): %2</source>
        <translation>Zu viele Weiterleitungen (mehr als %1): %2</translation>
    </message>
    <message>
        <source>Unable to find setup file in url: </source>
        <translation>Kein Installationsprogramm gefunden unter: </translation>
    </message>
    <message>
        <source>The setup program %1 is not signed.</source>
        <translation>Das Installationsprogramm %1 ist nicht signiert.</translation>
    </message>
    <message>
        <source>The signature of the setup program %1 is malformed.</source>
        <translation>Die Signatur des Installationsprogramms %1 ist fehlerhaft.</translation>
    </message>
    <message>
        <source>The setup program %1 is not the one the publisher signed for version %2.</source>
        <translation>Das Installationsprogramm %1 ist nicht das, welches der Herausgeber für Version %2 signiert hat.</translation>
    </message>
    <message>
        <source>The publisher&apos;s key of this application is not valid; no update can be verified.</source>
        <translation>Der Schlüssel des Herausgebers in dieser Anwendung ist ungültig; keine Aktualisierung kann geprüft werden.</translation>
    </message>
</context>
<context>
    <name>UrlFileDownloader</name>
    <message>
        <source>Unable to save the file %1: %2.</source>
        <translation>Die Datei %1 kann nicht gespeichert werden: %2.</translation>
    </message>
    <message>
        <source>No data received for %1 seconds</source>
        <translation>Seit %1 Sekunden keine Daten empfangen</translation>
    </message>
    <message>
        <source>Redirect from a secure to an insecure address refused: %1</source>
        <translation>Weiterleitung von einer sicheren zu einer unsicheren Adresse abgelehnt: %1</translation>
    </message>
    <message>
        <source>Redirect to an unsupported address refused: %1</source>
        <translation>Weiterleitung zu einer nicht unterstützten Adresse abgelehnt: %1</translation>
    </message>
</context>
</TS>
