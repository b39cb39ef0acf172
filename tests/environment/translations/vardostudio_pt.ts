<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pt">
<context>
    <name>Environment</name>
    <message>
        <source>log file</source>
        <translation>ficheiro de registo</translation>
    </message>
</context>
</TS>
