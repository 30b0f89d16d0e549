<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>AboutBox</name>
    <message>
        <source>About Node Panel</source>
        <translation>Über Node Panel</translation>
    </message>
    <message>
        <source>Node Panel icon</source>
        <translation>Symbol von Node Panel</translation>
    </message>
    <message>
        <source>Node Panel</source>
        <translation>Node Panel</translation>
    </message>
    <message>
        <source>Version %1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>Shows whether the network node on this computer runs, and starts or stops it.</source>
        <translation>Zeigt, ob der Netzwerkknoten auf diesem Computer läuft, und startet oder stoppt ihn.</translation>
    </message>
    <message>
        <source>Runs on Qt %1</source>
        <translation>Läuft mit Qt %1</translation>
    </message>
    <message>
        <source>Opens %1 in the web browser</source>
        <translation>Öffnet %1 im Webbrowser</translation>
    </message>
    <message>
        <source>&amp;My Account</source>
        <translation>&amp;Mein Konto</translation>
    </message>
    <message>
        <source>&amp;Privacy Policy</source>
        <translation>Datenschutz&amp;erklärung</translation>
    </message>
    <message>
        <source>&amp;Terms of Service</source>
        <translation>&amp;Nutzungsbedingungen</translation>
    </message>
</context>
<context>
    <name>CommandLine</name>
    <message>
        <source>Shows whether the network node on this computer runs, and starts or stops it.</source>
        <translation>Zeigt, ob der Netzwerkknoten auf diesem Computer läuft, und startet oder stoppt ihn.</translation>
    </message>
    <message>
        <source>Displays this help.</source>
        <translation>Zeigt diese Hilfe an.</translation>
    </message>
    <message>
        <source>Unexpected argument &apos;%1&apos;.</source>
        <translation>Unerwartetes Argument &apos;%1&apos;.</translation>
    </message>
    <message>
        <source>Try &apos;%1 --help&apos; for more information.</source>
        <translation>Weitere Informationen mit &apos;%1 --help&apos;.</translation>
    </message>
    <message>
        <source>Cannot write to standard output: %1</source>
        <translation>Die Standardausgabe kann nicht geschrieben werden: %1</translation>
    </message>
</context>
<context>
    <name>FileRefusal</name>
    <message>
        <source>goes through too many symbolic links</source>
        <translation>führt über zu viele symbolische Verknüpfungen</translation>
    </message>
    <message>
        <source>is not a folder</source>
        <translation>ist kein Ordner</translation>
    </message>
    <message>
        <source>is not a regular file</source>
        <translation>ist keine reguläre Datei</translation>
    </message>
    <message>
        <source>holds too many files to check</source>
        <translation>enthält zu viele Dateien, um sie zu prüfen</translation>
    </message>
    <message>
        <source>belongs to uid %1, not to root</source>
        <translation>gehört der UID %1, nicht root</translation>
    </message>
    <message>
        <source>belongs to uid %1, not to root or uid %2</source>
        <translation>gehört der UID %1, nicht root oder der UID %2</translation>
    </message>
    <message>
        <source>has an access control list that cannot be read (%1)</source>
        <translation>hat eine Zugriffskontrollliste, die nicht gelesen werden kann (%1)</translation>
    </message>
    <message>
        <source>is writable by all users</source>
        <translation>ist für alle Benutzer beschreibbar</translation>
    </message>
    <message>
        <source>is writable by its group (gid %1)</source>
        <translation>ist für seine Gruppe (GID %1) beschreibbar</translation>
    </message>
    <message>
        <source>is writable by uid %1 through its access control list</source>
        <translation>ist über seine Zugriffssteuerungsliste für die UID %1 beschreibbar</translation>
    </message>
    <message>
        <source>is writable by gid %1 through its access control list</source>
        <translation>ist über seine Zugriffssteuerungsliste für die GID %1 beschreibbar</translation>
    </message>
    <message>
        <source>cannot be checked (%1)</source>
        <translation>kann nicht geprüft werden (%1)</translation>
    </message>
    <message>
        <source>%1, so a program without administrator rights could change what runs as root</source>
        <translation>%1, daher könnte ein Programm ohne Administratorrechte ändern, was als root läuft</translation>
    </message>
</context>
<context>
    <name>LogWindow</name>
    <message>
        <source>Log</source>
        <translation>Protokoll</translation>
    </message>
    <message>
        <source>&amp;Lines the panel logged in this run, newest last:</source>
        <translation>&amp;Zeilen, die das Panel in diesem Lauf protokolliert hat, die neueste zuletzt:</translation>
    </message>
    <message>
        <source>Log lines</source>
        <translation>Protokollzeilen</translation>
    </message>
    <message>
        <source>&amp;Copy All</source>
        <translation>Alles &amp;kopieren</translation>
    </message>
    <message>
        <source>Copies every line shown to the clipboard</source>
        <translation>Kopiert alle angezeigten Zeilen in die Zwischenablage</translation>
    </message>
    <message>
        <source>Only the last %1 lines are kept. Lines dropped so far: %2.</source>
        <translation>Nur die letzten %1 Zeilen werden behalten. Bisher verworfene Zeilen: %2.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Node Panel</source>
        <translation>Node Panel</translation>
    </message>
    <message>
        <source>Node control</source>
        <translation>Knotensteuerung</translation>
    </message>
    <message>
        <source>Node running</source>
        <translation>Knoten läuft</translation>
    </message>
    <message>
        <source>The node is running</source>
        <translation>Der Knoten läuft</translation>
    </message>
    <message>
        <source>Uptime</source>
        <translation>Laufzeit</translation>
    </message>
    <message>
        <source>St&amp;op</source>
        <translation>St&amp;oppen</translation>
    </message>
    <message>
        <source>Stop the node</source>
        <translation>Den Knoten stoppen</translation>
    </message>
    <message>
        <source>Node stopped</source>
        <translation>Knoten gestoppt</translation>
    </message>
    <message>
        <source>The node is stopped</source>
        <translation>Der Knoten ist gestoppt</translation>
    </message>
    <message>
        <source>Start the node to run it on this computer.</source>
        <translation>Starten Sie den Knoten, um ihn auf diesem Computer auszuführen.</translation>
    </message>
    <message>
        <source>&amp;Start</source>
        <translation>&amp;Starten</translation>
    </message>
    <message>
        <source>Start the node</source>
        <translation>Den Knoten starten</translation>
    </message>
    <message>
        <source>Working</source>
        <translation>In Arbeit</translation>
    </message>
    <message>
        <source>Busy</source>
        <translation>Beschäftigt</translation>
    </message>
    <message>
        <source>Checking Service Status..</source>
        <translation>Dienststatus wird geprüft..</translation>
    </message>
    <message>
        <source>Progress</source>
        <translation>Fortschritt</translation>
    </message>
    <message>
        <source>I &amp;agree to the</source>
        <translation>Ich &amp;akzeptiere die</translation>
    </message>
    <message>
        <source>I agree to the Terms of Service and Privacy Policy</source>
        <translation>Ich akzeptiere die Nutzungsbedingungen und die Datenschutzerklärung</translation>
    </message>
    <message>
        <source>&amp;Terms of Service</source>
        <translation>&amp;Nutzungsbedingungen</translation>
    </message>
    <message>
        <source>Terms of Service</source>
        <translation>Nutzungsbedingungen</translation>
    </message>
    <message>
        <source>Opens the Terms of Service in the web browser</source>
        <translation>Öffnet die Nutzungsbedingungen im Webbrowser</translation>
    </message>
    <message>
        <source>and</source>
        <translation>und die</translation>
    </message>
    <message>
        <source>&amp;Privacy Policy</source>
        <translation>Datenschutz&amp;erklärung</translation>
    </message>
    <message>
        <source>Privacy Policy</source>
        <translation>Datenschutzerklärung</translation>
    </message>
    <message>
        <source>Opens the Privacy Policy in the web browser</source>
        <translation>Öffnet die Datenschutzerklärung im Webbrowser</translation>
    </message>
    <message>
        <source>&amp;My Account</source>
        <translation>&amp;Mein Konto</translation>
    </message>
    <message>
        <source>My Account</source>
        <translation>Mein Konto</translation>
    </message>
    <message>
        <source>Opens your account page in the web browser</source>
        <translation>Öffnet Ihre Kontoseite im Webbrowser</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Version</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Datei</translation>
    </message>
    <message>
        <source>&amp;Close Window</source>
        <translation>Fenster &amp;schließen</translation>
    </message>
    <message>
        <source>Ctrl+W</source>
        <translation>Ctrl+W</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>Ctrl+Q</source>
        <translation>Ctrl+Q</translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message>
        <source>Show &amp;Log…</source>
        <translation>&amp;Protokoll anzeigen…</translation>
    </message>
    <message>
        <source>Ctrl+L</source>
        <translation>Ctrl+L</translation>
    </message>
    <message>
        <source>&amp;About Node Panel</source>
        <translation>Ü&amp;ber Node Panel</translation>
    </message>
</context>
<context>
    <name>ScriptFailure</name>
    <message>
        <source>The administrator password request was dismissed.</source>
        <translation>Die Abfrage des Administratorpassworts wurde abgebrochen.</translation>
    </message>
    <message>
        <source>You are not authorised to run the node&apos;s script as administrator.</source>
        <translation>Sie sind nicht berechtigt, das Skript des Knotens als Administrator auszuführen.</translation>
    </message>
    <message>
        <source>No authentication agent is running to ask for the administrator password.</source>
        <translation>Es läuft kein Authentifizierungsagent, der nach dem Administratorpasswort fragen könnte.</translation>
    </message>
    <message>
        <source>The system&apos;s authorisation service (polkit) is not available.</source>
        <translation>Der Berechtigungsdienst des Systems (polkit) ist nicht verfügbar.</translation>
    </message>
    <message>
        <source>The administrator request failed: %1</source>
        <translation>Die Administratoranfrage ist fehlgeschlagen: %1</translation>
    </message>
    <message>
        <source>%1 is not installed, so the node&apos;s script cannot run as administrator: install the Debian package pkexec.</source>
        <translation>%1 ist nicht installiert, daher kann das Skript des Knotens nicht als Administrator laufen: Installieren Sie das Debian-Paket pkexec.</translation>
    </message>
    <message>
        <source>%1 could not be started: %2</source>
        <translation>%1 konnte nicht gestartet werden: %2</translation>
    </message>
    <message>
        <source>manager.sh did not finish: the process running it was killed.</source>
        <translation>manager.sh wurde nicht beendet: Der Prozess, der es ausführte, wurde abgebrochen.</translation>
    </message>
    <message>
        <source>manager.sh exited with status %1</source>
        <translation>manager.sh wurde mit dem Status %1 beendet</translation>
    </message>
    <message>
        <source>Refused to run the node&apos;s script as administrator: %1 %2.</source>
        <translation>Das Skript des Knotens wird nicht als Administrator ausgeführt: %1 %2.</translation>
    </message>
</context>
<context>
    <name>StatusIcon</name>
    <message>
        <source>Show &amp;Node Panel</source>
        <translation>&amp;Node Panel anzeigen</translation>
    </message>
    <message>
        <source>&amp;Start</source>
        <translation>&amp;Starten</translation>
    </message>
    <message>
        <source>St&amp;op</source>
        <translation>St&amp;oppen</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>The node is running</source>
        <translation>Der Knoten läuft</translation>
    </message>
    <message>
        <source>Uptime: %1 h %2 min</source>
        <translation>Laufzeit: %1 h %2 min</translation>
    </message>
    <message>
        <source>The node is stopped</source>
        <translation>Der Knoten ist gestoppt</translation>
    </message>
</context>
<context>
    <name>ViewController</name>
    <message>
        <source>Checking Service Status..</source>
        <translation>Dienststatus wird geprüft..</translation>
    </message>
    <message>
        <source>Starting Service..</source>
        <translation>Dienst wird gestartet..</translation>
    </message>
    <message>
        <source>Confirmation</source>
        <translation>Bestätigung</translation>
    </message>
    <message>
        <source>Do you agree to the Terms of Service and Privacy Policy?</source>
        <translation>Akzeptieren Sie die Nutzungsbedingungen und die Datenschutzerklärung?</translation>
    </message>
    <message>
        <source>YES</source>
        <translation>JA</translation>
    </message>
    <message>
        <source>NO</source>
        <translation>NEIN</translation>
    </message>
    <message>
        <source>Stopping Service..</source>
        <translation>Dienst wird gestoppt..</translation>
    </message>
    <message>
        <source>The node stopped</source>
        <translation>Der Knoten wurde gestoppt</translation>
    </message>
    <message>
        <source>The node on this computer is no longer running.</source>
        <translation>Der Knoten auf diesem Computer läuft nicht mehr.</translation>
    </message>
    <message>
        <source>No reason was given.</source>
        <translation>Es wurde kein Grund genannt.</translation>
    </message>
    <message>
        <source>The node could not be started.</source>
        <translation>Der Knoten konnte nicht gestartet werden.</translation>
    </message>
    <message>
        <source>The node could not be stopped.</source>
        <translation>Der Knoten konnte nicht gestoppt werden.</translation>
    </message>
    <message>
        <source>%1 could not be opened in a web browser.</source>
        <translation>%1 konnte in keinem Webbrowser geöffnet werden.</translation>
    </message>
</context>
<context>
    <name>WindowController</name>
    <message>
        <source>Confirmation</source>
        <translation>Bestätigung</translation>
    </message>
    <message>
        <source>Do you want to exit the app?</source>
        <translation>Möchten Sie die App beenden?</translation>
    </message>
    <message>
        <source>NO</source>
        <translation>NEIN</translation>
    </message>
    <message>
        <source>YES</source>
        <translation>JA</translation>
    </message>
    <message>
        <source>Do you want to exit?</source>
        <translation>Möchten Sie beenden?</translation>
    </message>
    <message>
        <source>The service is running, stop it now?</source>
        <translation>Der Dienst läuft. Jetzt stoppen?</translation>
    </message>
</context>
<context>
    <name>polkit</name>
    <message>
        <source>Start or stop the network node</source>
        <comment>description</comment>
        <translation>Den Netzwerkknoten starten oder stoppen</translation>
    </message>
    <message>
        <source>Authentication is required to start or stop the network node</source>
        <comment>message</comment>
        <translation>Zum Starten oder Stoppen des Netzwerkknotens ist eine Authentifizierung erforderlich</translation>
    </message>
</context>
</TS>
