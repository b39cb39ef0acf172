<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Environment</name>
    <message>
        <source>log file</source>
        <translation>Protokolldatei</translation>
    </message>
    <message>
        <source>project file</source>
        <translation>Projektdatei</translation>
    </message>
    <message>
        <source>csv file</source>
        <translation>CSV-Datei</translation>
    </message>
    <message>
        <source>alarm log files</source>
        <translation>Alarmprotokolldateien</translation>
    </message>
</context>
</TS>
