<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL">
<context>
    <name>Environment</name>
    <message>
        <source>log file</source>
        <translation>plik dziennika</translation>
    </message>
    <message>
        <source>project file</source>
        <translation>plik projektu</translation>
    </message>
    <message>
        <source>alarm log files</source>
        <translation>pliki dziennika alarmów</translation>
    </message>
</context>
</TS>
