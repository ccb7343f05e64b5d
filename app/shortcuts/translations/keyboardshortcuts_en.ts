<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>KeyboardShortcuts</name>
    <message>
        <source>record_shortcut</source>
        <translation>Click to record</translation>
    </message>
    <message>
        <source>press_shortcut</source>
        <translation>Press shortcut</translation>
    </message>
    <message>
        <source>keyboard_shortcut_used_by_system</source>
        <translation>Another program or the desktop already uses this shortcut.</translation>
    </message>
    <message>
        <source>keyboard_shortcuts_can_be_changed</source>
        <translation>Desktop shortcuts can usually be changed in the keyboard settings. Using it here anyway may take it away from its owner.</translation>
    </message>
    <message>
        <source>force_use_shortcut</source>
        <translation>Use It Here</translation>
    </message>
    <message>
        <source>ok</source>
        <translation>OK</translation>
    </message>
</context>
</TS>
