<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name></name>
    <message id="a11y.trayIcon.off">
        <source>Tovrelle: camera off</source>
        <extracomment>Tray icon accessibility label</extracomment>
        <translation>Tovrelle: camera off</translation>
    </message>
    <message id="a11y.trayIcon.camera">
        <source>Tovrelle: showing the camera</source>
        <extracomment>Tray icon accessibility label</extracomment>
        <translation>Tovrelle: showing the camera</translation>
    </message>
    <message id="a11y.trayIcon.image">
        <source>Tovrelle: showing an image</source>
        <extracomment>Tray icon accessibility label</extracomment>
        <translation>Tovrelle: showing an image</translation>
    </message>
    <message id="settings.windowTitle">
        <source>Tovrelle Settings</source>
        <extracomment>Settings window title</extracomment>
        <translation>Tovrelle Settings</translation>
    </message>
    <message id="onboarding.windowTitle">
        <source>Welcome to Tovrelle</source>
        <extracomment>Onboarding window title</extracomment>
        <translation>Welcome to Tovrelle</translation>
    </message>
    <message id="menu.cameraPermission.denied">
        <source>Tovrelle may not use your cameras, so camera mode stays black.</source>
        <extracomment>Camera access is denied</extracomment>
        <translation>Tovrelle may not use your cameras, so camera mode stays black.</translation>
    </message>
    <message id="menu.cameraPermission.openSettings">
        <source>Open Camera Privacy Settings…</source>
        <extracomment>Open the camera privacy settings</extracomment>
        <translation>Open Camera Privacy Settings…</translation>
    </message>
    <message id="menu.cameraOff">
        <source>Camera Off</source>
        <extracomment>Turn the virtual camera off</extracomment>
        <translation>Camera Off</translation>
    </message>
    <message id="menu.cameraOn">
        <source>Camera On</source>
        <extracomment>Turn the virtual camera on</extracomment>
        <translation>Camera On</translation>
    </message>
    <message id="menu.selectCamera">
        <source>Camera</source>
        <extracomment>Camera selection submenu title</extracomment>
        <translation>Camera</translation>
    </message>
    <message id="camera.default">
        <source>Default Camera</source>
        <extracomment>Default (system default) camera option</extracomment>
        <translation>Default Camera</translation>
    </message>
    <message id="menu.settings">
        <source>Settings…</source>
        <extracomment>Open the settings window</extracomment>
        <translation>Settings…</translation>
    </message>
    <message id="menu.checkForUpdates">
        <source>Check for Updates…</source>
        <extracomment>Opens the update page this build names</extracomment>
        <translation>Check for Updates…</translation>
    </message>
    <message id="menu.updatesFromSystem">
        <source>Updated by your system</source>
        <extracomment>Disabled update row of a build whose updates come with the system&apos;s software updates</extracomment>
        <translation>Updated by your system</translation>
    </message>
    <message id="menu.updatesFromSystem.help">
        <source>New versions of Tovrelle arrive with your system&apos;s software updates.</source>
        <extracomment>Tool tip of that row</extracomment>
        <translation>New versions of Tovrelle arrive with your system&apos;s software updates.</translation>
    </message>
    <message id="trayIcon.toolTip.off">
        <source>Camera off</source>
        <extracomment>Tray icon tool tip while the virtual camera is off</extracomment>
        <translation>Camera off</translation>
    </message>
    <message id="trayIcon.toolTip.camera">
        <source>Camera: %1</source>
        <extracomment>Tray icon tool tip while the virtual camera passes a camera through; %1 is the camera&apos;s name</extracomment>
        <translation>Camera: %1</translation>
    </message>
    <message id="trayIcon.toolTip.image">
        <source>Image: %1</source>
        <extracomment>Tray icon tool tip while the virtual camera shows an image; %1 is the image&apos;s name</extracomment>
        <translation>Image: %1</translation>
    </message>
    <message id="menu.quit">
        <source>Quit Tovrelle</source>
        <extracomment>Quit the app</extracomment>
        <translation>Quit Tovrelle</translation>
    </message>
    <message id="menu.installService">
        <source>Set Up Camera Service</source>
        <extracomment>Set up the camera service</extracomment>
        <translation>Set Up Camera Service</translation>
    </message>
    <message id="menu.dataFolder.readOnly">
        <source>The data folder %1 is read-only.</source>
        <extracomment>Popover: the data folder is read-only; %1 is its path</extracomment>
        <translation>The data folder %1 is read-only.</translation>
    </message>
    <message id="menu.dataFolder.full">
        <source>The disk that holds the data folder %1 is full.</source>
        <extracomment>Popover: the disk of the data folder is full; %1 is the folder's path</extracomment>
        <translation>The disk that holds the data folder %1 is full.</translation>
    </message>
    <message id="menu.dataFolder.notPermitted">
        <source>Tovrelle may not write to its data folder %1.</source>
        <extracomment>Popover: the app may not write its data folder; %1 is its path</extracomment>
        <translation>Tovrelle may not write to its data folder %1.</translation>
    </message>
    <message id="menu.dataFolder.unavailable">
        <source>Tovrelle cannot write to its data folder %1.</source>
        <extracomment>Popover: the app cannot write its data folder; %1 is its path</extracomment>
        <translation>Tovrelle cannot write to its data folder %1.</translation>
    </message>
    <message id="menu.dataFolder.heartbeatStopped">
        <source>Calls show “Launch Tovrelle” although it is running.</source>
        <extracomment>Popover: without the heartbeat, calls show the launch-the-app picture</extracomment>
        <translation>Calls show “Launch Tovrelle” although it is running.</translation>
    </message>
    <message id="menu.dataFolder.stateBehind">
        <source>The camera keeps showing your previous choice and follows as soon as the folder can be written.</source>
        <extracomment>Popover: the camera keeps the previous choice until the state is written</extracomment>
        <translation>The camera keeps showing your previous choice and follows as soon as the folder can be written.</translation>
    </message>
    <message id="serviceStatus.idle">
        <source>The Tovrelle camera is not available: its camera service is not installed or not running.</source>
        <extracomment>Camera service status: not installed</extracomment>
        <translation>The Tovrelle camera is not available: its camera service is not installed or not running.</translation>
    </message>
    <message id="serviceStatus.requesting">
        <source>Setting up the Tovrelle camera service…</source>
        <extracomment>Camera service status: installing</extracomment>
        <translation>Setting up the Tovrelle camera service…</translation>
    </message>
    <message id="serviceStatus.failed">
        <source>The Tovrelle camera service could not start: %1</source>
        <extracomment>Camera service status: failed with message; %1 is the error message</extracomment>
        <translation>The Tovrelle camera service could not start: %1</translation>
    </message>
    <message id="a11y.preview.off">
        <source>Preview: camera off</source>
        <extracomment>Preview shows a black frame</extracomment>
        <translation>Preview: camera off</translation>
    </message>
    <message id="a11y.preview.camera">
        <source>Preview: camera picture</source>
        <extracomment>Preview shows the real camera</extracomment>
        <translation>Preview: camera picture</translation>
    </message>
    <message id="a11y.preview.image">
        <source>Preview: image</source>
        <extracomment>Preview shows a still image</extracomment>
        <translation>Preview: image</translation>
    </message>
    <message id="onboarding.title">
        <source>Set up Tovrelle</source>
        <extracomment>Onboarding heading</extracomment>
        <translation>Set up Tovrelle</translation>
    </message>
    <message id="onboarding.subtitle">
        <source>Four short steps and other apps can use the Tovrelle camera.</source>
        <extracomment>Onboarding subheading under the title</extracomment>
        <translation>Four short steps and other apps can use the Tovrelle camera.</translation>
    </message>
    <message id="onboarding.step1.title">
        <source>Install the camera service</source>
        <extracomment>Onboarding step 1 title: install the camera service</extracomment>
        <translation>Install the camera service</translation>
    </message>
    <message id="onboarding.step1.detail">
        <source>Tovrelle publishes its camera through a small service that runs in your session and starts whenever you log in. It is set up for you alone; no password is needed.</source>
        <extracomment>Onboarding step 1 explanation</extracomment>
        <translation>Tovrelle publishes its camera through a small service that runs in your session and starts whenever you log in. It is set up for you alone; no password is needed.</translation>
    </message>
    <message id="onboarding.step1.action">
        <source>Install</source>
        <extracomment>Onboarding step 1 button</extracomment>
        <translation>Install</translation>
    </message>
    <message id="onboarding.step2.title">
        <source>Check that other apps see the camera</source>
        <extracomment>Onboarding step 2 title: check that other apps see the camera</extracomment>
        <translation>Check that other apps see the camera</translation>
    </message>
    <message id="onboarding.step2.detail">
        <source>This step ticks itself off as soon as other apps can pick the Tovrelle camera. If it does not, check again to see what is wrong.</source>
        <extracomment>Onboarding step 2 explanation</extracomment>
        <translation>This step ticks itself off as soon as other apps can pick the Tovrelle camera. If it does not, check again to see what is wrong.</translation>
    </message>
    <message id="onboarding.step2.action">
        <source>Check Again</source>
        <extracomment>Onboarding step 2 button that checks the camera service again</extracomment>
        <translation>Check Again</translation>
    </message>
    <message id="onboarding.step3.title">
        <source>Allow camera access</source>
        <extracomment>Onboarding step 3 title: camera access</extracomment>
        <translation>Allow camera access</translation>
    </message>
    <message id="onboarding.step3.detail">
        <source>Tovrelle needs your cameras to pass their picture through and to show the preview.</source>
        <extracomment>Onboarding step 3 explanation</extracomment>
        <translation>Tovrelle needs your cameras to pass their picture through and to show the preview.</translation>
    </message>
    <message id="onboarding.step3.action">
        <source>Allow Camera Access</source>
        <extracomment>Onboarding step 3 button that asks for camera access</extracomment>
        <translation>Allow Camera Access</translation>
    </message>
    <message id="onboarding.usage.heading">
        <source>Using the camera</source>
        <extracomment>Heading of the how-to-use block in onboarding</extracomment>
        <translation>Using the camera</translation>
    </message>
    <message id="onboarding.step4.title">
        <source>Choose “Tovrelle” in your video app</source>
        <extracomment>How-to-use title</extracomment>
        <translation>Choose “Tovrelle” in your video app</translation>
    </message>
    <message id="onboarding.step4.detail">
        <source>In the camera settings of your video-call or recording app, pick the camera named Tovrelle. Switch what it shows from the Tovrelle icon in the panel.</source>
        <extracomment>How-to-use explanation</extracomment>
        <translation>In the camera settings of your video-call or recording app, pick the camera named Tovrelle. Switch what it shows from the Tovrelle icon in the panel.</translation>
    </message>
    <message id="onboarding.done">
        <source>Done</source>
        <extracomment>Button that closes onboarding</extracomment>
        <translation>Done</translation>
    </message>
    <message id="onboarding.openSettingsFailed.title">
        <source>The camera service could not be checked</source>
        <translation>The camera service could not be checked</translation>
    </message>
    <message id="onboarding.openSettingsFailed.message">
        <source>Try again in a moment; Tovrelle’s log tells what went wrong.</source>
        <translation>Try again in a moment; Tovrelle’s log tells what went wrong.</translation>
    </message>
    <message id="serviceError.unknown">
        <source>Something went wrong while setting up the camera service.</source>
        <extracomment>Setting up the camera service failed for an unknown reason</extracomment>
        <translation>Something went wrong while setting up the camera service.</translation>
    </message>
    <message id="serviceError.buildProblem">
        <source>This copy of Tovrelle is incomplete: its camera service is missing or damaged. Reinstall the Tovrelle package.</source>
        <extracomment>Setting up the camera service failed because the app package is broken</extracomment>
        <translation>This copy of Tovrelle is incomplete: its camera service is missing or damaged. Reinstall the Tovrelle package.</translation>
    </message>
    <message id="serviceError.reinstall">
        <source>The camera service could not be verified. Reinstall the Tovrelle package.</source>
        <extracomment>Setting up the camera service failed because it could not be verified</extracomment>
        <translation>The camera service could not be verified. Reinstall the Tovrelle package.</translation>
    </message>
    <message id="serviceError.needsApproval">
        <source>Your service manager refused to start the Tovrelle camera service. Check that it is not masked, then try again.</source>
        <extracomment>The service manager refused to start the camera service</extracomment>
        <translation>Your service manager refused to start the Tovrelle camera service. Check that it is not masked, then try again.</translation>
    </message>
    <message id="settings.tab.images">
        <source>Images</source>
        <extracomment>Settings tab label</extracomment>
        <translation>Images</translation>
    </message>
    <message id="settings.tab.general">
        <source>General</source>
        <extracomment>Settings tab label</extracomment>
        <translation>General</translation>
    </message>
    <message id="settings.tab.about">
        <source>About</source>
        <extracomment>Settings tab label</extracomment>
        <translation>About</translation>
    </message>
    <message id="settings.section.language">
        <source>Language</source>
        <extracomment>General settings section header</extracomment>
        <translation>Language</translation>
    </message>
    <message id="settings.language.systemFollow">
        <source>Tovrelle uses the language of your system.</source>
        <extracomment>Explains that the app follows the system language</extracomment>
        <translation>Tovrelle uses the language of your system.</translation>
    </message>
    <message id="settings.section.startup">
        <source>Startup</source>
        <extracomment>General settings section header</extracomment>
        <translation>Startup</translation>
    </message>
    <message id="settings.launchAtLogin">
        <source>Start Tovrelle at login</source>
        <extracomment>Checkbox that starts the app at login</extracomment>
        <translation>Start Tovrelle at login</translation>
    </message>
    <message id="settings.section.service">
        <source>Camera Service</source>
        <extracomment>General settings section header</extracomment>
        <translation>Camera Service</translation>
    </message>
    <message id="settings.service.statusLabel">
        <source>Status:</source>
        <extracomment>Label before the camera service status</extracomment>
        <translation>Status:</translation>
    </message>
    <message id="settings.service.reinstall">
        <source>Reinstall Camera Service</source>
        <extracomment>Button that installs the camera service again</extracomment>
        <translation>Reinstall Camera Service</translation>
    </message>
    <message id="settings.service.status.idle">
        <source>Not installed or not running</source>
        <extracomment>Camera service status: not installed</extracomment>
        <translation>Not installed or not running</translation>
    </message>
    <message id="settings.service.status.requesting">
        <source>Setting up…</source>
        <extracomment>Camera service status: installing</extracomment>
        <translation>Setting up…</translation>
    </message>
    <message id="settings.service.status.activated">
        <source>Running: other apps can use the Tovrelle camera. It starts whenever you log in.</source>
        <extracomment>Camera service status: installed and running</extracomment>
        <translation>Running: other apps can use the Tovrelle camera. It starts whenever you log in.</translation>
    </message>
    <message id="settings.service.status.failed">
        <source>The camera service could not start:</source>
        <extracomment>Camera service status: failed; the failure message follows on the next line</extracomment>
        <translation>The camera service could not start:</translation>
    </message>
    <message id="settings.section.cameraPermission">
        <source>Camera Access</source>
        <extracomment>General settings section header</extracomment>
        <translation>Camera Access</translation>
    </message>
    <message id="settings.cameraPermission.denied">
        <source>Tovrelle may not use your cameras, so camera mode stays black.</source>
        <extracomment>Camera access is denied</extracomment>
        <translation>Tovrelle may not use your cameras, so camera mode stays black.</translation>
    </message>
    <message id="settings.cameraPermission.openSettings">
        <source>Open Camera Privacy Settings…</source>
        <extracomment>Open the camera privacy settings</extracomment>
        <translation>Open Camera Privacy Settings…</translation>
    </message>
    <message id="settings.section.onboarding">
        <source>Setup</source>
        <extracomment>General settings section header</extracomment>
        <translation>Setup</translation>
    </message>
    <message id="settings.onboarding.show">
        <source>Show Setup Guide…</source>
        <extracomment>Button that shows the onboarding window again</extracomment>
        <translation>Show Setup Guide…</translation>
    </message>
    <message id="settings.section.shortcuts">
        <source>Keyboard Shortcuts</source>
        <extracomment>General settings section header</extracomment>
        <translation>Keyboard Shortcuts</translation>
    </message>
    <message id="settings.shortcuts.cameraOff">
        <source>Camera off</source>
        <extracomment>Shortcut recorder label</extracomment>
        <translation>Camera off</translation>
    </message>
    <message id="settings.shortcuts.cameraOn">
        <source>Camera on</source>
        <extracomment>Shortcut recorder label</extracomment>
        <translation>Camera on</translation>
    </message>
    <message id="settings.shortcuts.showLastImage">
        <source>Show last image</source>
        <extracomment>Shortcut recorder label</extracomment>
        <translation>Show last image</translation>
    </message>
    <message id="settings.shortcuts.unavailable">
        <source>Global shortcuts are not available in this session (%1). Set them in your desktop's keyboard settings instead, as the commands tovrelle --camera-off, tovrelle --camera-on and tovrelle --show-last-image.</source>
        <extracomment>Under the shortcut recorders when the session offers no global shortcuts; %1 is the reason</extracomment>
        <translation>Global shortcuts are not available in this session (%1). Set them in your desktop's keyboard settings instead, as the commands tovrelle --camera-off, tovrelle --camera-on and tovrelle --show-last-image.</translation>
    </message>
    <message id="settings.shortcuts.hint">
        <source>The shortcuts work in every app, also while Tovrelle is in the background.</source>
        <extracomment>Hint under the shortcut recorders</extracomment>
        <translation>The shortcuts work in every app, also while Tovrelle is in the background.</translation>
    </message>
    <message id="settings.storeFailure">
        <source>Settings cannot be saved to %1. Changes last only until Tovrelle quits, and setup will be shown again at the next start.</source>
        <extracomment>General tab warning when the settings file cannot be written; %1 is its path</extracomment>
        <translation>Settings cannot be saved to %1. Changes last only until Tovrelle quits, and setup will be shown again at the next start.</translation>
    </message>
    <message id="settings.shortcuts.refused">
        <source>%1 (%2) does nothing: %3. Choose another shortcut.</source>
        <extracomment>General tab warning for a shortcut that could not be grabbed; %1 is the shortcut, %2 what it does, %3 why</extracomment>
        <translation>%1 (%2) does nothing: %3. Choose another shortcut.</translation>
    </message>
    <message id="settings.noImages">
        <source>No images yet</source>
        <extracomment>Images tab: the library is empty</extracomment>
        <translation>No images yet</translation>
    </message>
    <message id="settings.noImagesHint">
        <source>Add a picture, GIF or animated PNG with the + button.</source>
        <extracomment>Images tab: how to add the first image</extracomment>
        <translation>Add a picture, GIF or animated PNG with the + button.</translation>
    </message>
    <message id="settings.addImage">
        <source>Add Image…</source>
        <extracomment>Images tab: button that adds an image</extracomment>
        <translation>Add Image…</translation>
    </message>
    <message id="settings.imageFailure.notAdded">
        <source>“%1” was not added:</source>
        <extracomment>Images tab: a picked file was not added; %1 is its name</extracomment>
        <translation>“%1” was not added:</translation>
    </message>
    <message id="settings.imageFailure.notSaved">
        <source>The image list was not saved:</source>
        <extracomment>Images tab: the list of images could not be saved</extracomment>
        <translation>The image list was not saved:</translation>
    </message>
    <message id="settings.imageFailure.tooLarge">
        <source>it is larger than 256 MB.</source>
        <extracomment>Images tab: reason a file was not added</extracomment>
        <translation>it is larger than 256 MB.</translation>
    </message>
    <message id="settings.imageFailure.unreadable">
        <source>the file cannot be read.</source>
        <extracomment>Images tab: reason a file was not added</extracomment>
        <translation>the file cannot be read.</translation>
    </message>
    <message id="settings.imageFailure.notAFile">
        <source>it is not an ordinary file.</source>
        <extracomment>Images tab: reason a file was not added (a pipe, device or socket)</extracomment>
        <translation>it is not an ordinary file.</translation>
    </message>
    <message id="settings.imageFailure.nameTooLong">
        <source>its name is too long. Rename the file and add it again.</source>
        <extracomment>Images tab: reason a file was not added</extracomment>
        <translation>its name is too long. Rename the file and add it again.</translation>
    </message>
    <message id="settings.imageFailure.readOnly">
        <source>Tovrelle’s data folder is read-only.</source>
        <extracomment>Images tab: reason an add or save failed</extracomment>
        <translation>Tovrelle’s data folder is read-only.</translation>
    </message>
    <message id="settings.imageFailure.full">
        <source>the disk is full.</source>
        <extracomment>Images tab: reason an add or save failed</extracomment>
        <translation>the disk is full.</translation>
    </message>
    <message id="settings.imageFailure.notPermitted">
        <source>Tovrelle may not write to its data folder.</source>
        <extracomment>Images tab: reason an add or save failed</extracomment>
        <translation>Tovrelle may not write to its data folder.</translation>
    </message>
    <message id="settings.imageFailure.other">
        <source>Tovrelle cannot write to its data folder.</source>
        <extracomment>Images tab: reason an add or save failed</extracomment>
        <translation>Tovrelle cannot write to its data folder.</translation>
    </message>
    <message id="settings.imageFailure.dismiss">
        <source>Dismiss</source>
        <extracomment>Images tab: closes the message about a failed add</extracomment>
        <translation>Dismiss</translation>
    </message>
    <message id="settings.imageFileTypes">
        <source>Images</source>
        <extracomment>Open panel: file type filter for images</extracomment>
        <translation>Images</translation>
    </message>
    <message id="settings.imageName">
        <source>Image name</source>
        <extracomment>Images tab: placeholder of the image name field</extracomment>
        <translation>Image name</translation>
    </message>
    <message id="settings.rename">
        <source>Rename</source>
        <extracomment>Images tab: tool tip of the rename button</extracomment>
        <translation>Rename</translation>
    </message>
    <message id="settings.delete">
        <source>Delete</source>
        <extracomment>Images tab: tool tip of the delete button</extracomment>
        <translation>Delete</translation>
    </message>
    <message id="settings.save">
        <source>Save</source>
        <extracomment>Images tab: tool tip of the save button</extracomment>
        <translation>Save</translation>
    </message>
    <message id="about.version">
        <source>Version %1 (%2)</source>
        <extracomment>Version line</extracomment>
        <translation>Version %1 (%2)</translation>
    </message>
    <message id="about.section.documents">
        <source>Documents</source>
        <extracomment>About tab section header</extracomment>
        <translation>Documents</translation>
    </message>
    <message id="about.link.terms">
        <source>Terms of Use</source>
        <extracomment>About tab link to the terms of use</extracomment>
        <translation>Terms of Use</translation>
    </message>
    <message id="about.link.privacy">
        <source>Privacy Policy</source>
        <extracomment>About tab link to the privacy policy</extracomment>
        <translation>Privacy Policy</translation>
    </message>
    <message id="about.link.tokushoho">
        <source>Legal Disclosure (Japan)</source>
        <extracomment>About tab link to the legal disclosure page for Japanese users</extracomment>
        <translation>Legal Disclosure (Japan)</translation>
    </message>
    <message id="about.link.support">
        <source>Support</source>
        <extracomment>Link to the support page</extracomment>
        <translation>Support</translation>
    </message>
    <message id="about.link.hint">
        <source>Opens in your web browser</source>
        <extracomment>Accessibility hint of links that open in the browser</extracomment>
        <translation>Opens in your web browser</translation>
    </message>
    <message id="about.section.openSource">
        <source>Open Source</source>
        <extracomment>About tab section header</extracomment>
        <translation>Open Source</translation>
    </message>
    <message id="serviceError.noCamera">
        <source>The Tovrelle camera service did not publish its camera. Make sure PipeWire is running, then try again.</source>
        <extracomment>The camera service started (or runs) but no camera appeared</extracomment>
        <translation>The Tovrelle camera service did not publish its camera. Make sure PipeWire is running, then try again.</translation>
    </message>
    <message id="serviceError.cameraTaken">
        <source>Another program already publishes a camera named Tovrelle. Quit it, then try again.</source>
        <extracomment>Another program publishes a camera of the same name</extracomment>
        <translation>Another program already publishes a camera named Tovrelle. Quit it, then try again.</translation>
    </message>
    <message id="settings.service.remove">
        <source>Remove Camera…</source>
        <extracomment>Button that stops and removes the camera service</extracomment>
        <translation>Remove Camera…</translation>
    </message>
    <message id="settings.service.remove.title">
        <source>Remove the Tovrelle camera?</source>
        <extracomment>Title of the confirmation before removing the camera service</extracomment>
        <translation>Remove the Tovrelle camera?</translation>
    </message>
    <message id="settings.service.remove.message">
        <source>The camera service stops and is removed, so other apps no longer see the Tovrelle camera, now or after you log in again. Your images and settings stay, and you can set the camera up again at any time.</source>
        <extracomment>Text of the confirmation before removing the camera service</extracomment>
        <translation>The camera service stops and is removed, so other apps no longer see the Tovrelle camera, now or after you log in again. Your images and settings stay, and you can set the camera up again at any time.</translation>
    </message>
    <message id="settings.service.remove.confirm">
        <source>Remove Camera</source>
        <extracomment>Confirming button of the removal</extracomment>
        <translation>Remove Camera</translation>
    </message>
    <message id="settings.service.status.removing">
        <source>Removing…</source>
        <extracomment>Camera service status: being removed</extracomment>
        <translation>Removing…</translation>
    </message>
    <message id="onboarding.step2.checking">
        <source>Checking…</source>
        <extracomment>Onboarding step 2: a check of the camera service is running</extracomment>
        <translation>Checking…</translation>
    </message>
    <message id="onboarding.step2.available">
        <source>Other apps can pick the Tovrelle camera now.</source>
        <extracomment>Onboarding step 2: the camera is published</extracomment>
        <translation>Other apps can pick the Tovrelle camera now.</translation>
    </message>
    <message id="videoDevice.load">
        <source>Load Now</source>
        <extracomment>Button that loads the v4l2loopback kernel module (asks for the administrator password)</extracomment>
        <translation>Load Now</translation>
    </message>
    <message id="videoDevice.unknown">
        <source>Looking for the /dev/video device…</source>
        <extracomment>Video device: the first look is running</extracomment>
        <translation>Looking for the /dev/video device…</translation>
    </message>
    <message id="videoDevice.moduleMissing">
        <source>Apps such as Chromium, Zoom and Electron apps only see cameras under /dev/video. For them to see Tovrelle, install the package v4l2loopback-dkms.</source>
        <extracomment>Video device: the kernel module is not installed</extracomment>
        <translation>Apps such as Chromium, Zoom and Electron apps only see cameras under /dev/video. For them to see Tovrelle, install the package v4l2loopback-dkms.</translation>
    </message>
    <message id="videoDevice.notLoaded">
        <source>Apps such as Chromium, Zoom and Electron apps only see cameras under /dev/video. Loading the v4l2loopback kernel module gives Tovrelle one; loading a kernel module needs the administrator password once.</source>
        <extracomment>Video device: the kernel module is installed, not loaded; the Load Now button follows</extracomment>
        <translation>Apps such as Chromium, Zoom and Electron apps only see cameras under /dev/video. Loading the v4l2loopback kernel module gives Tovrelle one; loading a kernel module needs the administrator password once.</translation>
    </message>
    <message id="videoDevice.loading">
        <source>Loading v4l2loopback…</source>
        <extracomment>Video device: the administrator prompt or the module load is running</extracomment>
        <translation>Loading v4l2loopback…</translation>
    </message>
    <message id="videoDevice.noDevice">
        <source>v4l2loopback is loaded without a device labelled Tovrelle, so apps that only use /dev/video do not see the camera. To add it, close the programs that use v4l2loopback devices, then run in a terminal:</source>
        <extracomment>Video device: module loaded with no device labelled Tovrelle and none of others; a terminal command follows</extracomment>
        <translation>v4l2loopback is loaded without a device labelled Tovrelle, so apps that only use /dev/video do not see the camera. To add it, close the programs that use v4l2loopback devices, then run in a terminal:</translation>
    </message>
    <message id="videoDevice.othersOnly.add">
        <source>v4l2loopback was loaded by another program with its own devices (%1): Tovrelle never uses those. To add Tovrelle&apos;s device, run in a terminal:</source>
        <extracomment>Video device: another program&apos;s devices only, more can be added; %1 their labels; a terminal command follows</extracomment>
        <translation>v4l2loopback was loaded by another program with its own devices (%1): Tovrelle never uses those. To add Tovrelle&apos;s device, run in a terminal:</translation>
    </message>
    <message id="videoDevice.othersOnly.reload">
        <source>v4l2loopback was loaded by another program with its own devices (%1): Tovrelle never uses those. To add Tovrelle&apos;s device, close the programs that use them, then run in a terminal:</source>
        <extracomment>Video device: another program&apos;s devices only; %1 their labels; a terminal command follows</extracomment>
        <translation>v4l2loopback was loaded by another program with its own devices (%1): Tovrelle never uses those. To add Tovrelle&apos;s device, close the programs that use them, then run in a terminal:</translation>
    </message>
    <message id="videoDevice.refused">
        <source>%1 is labelled Tovrelle but is not a v4l2loopback device, so Tovrelle does not write to it.</source>
        <extracomment>Video device: a device labelled Tovrelle that v4l2loopback did not make; %1 is its /dev path</extracomment>
        <translation>%1 is labelled Tovrelle but is not a v4l2loopback device, so Tovrelle does not write to it.</translation>
    </message>
    <message id="videoDevice.waitingForService">
        <source>%1 is ready; it shows the Tovrelle camera while the camera service runs.</source>
        <extracomment>Video device: Tovrelle&apos;s device exists, the camera service does not write to it (yet); %1 is its /dev path</extracomment>
        <translation>%1 is ready; it shows the Tovrelle camera while the camera service runs.</translation>
    </message>
    <message id="videoDevice.serviceTooOld">
        <source>%1 is ready, but the running camera service does not write to it. Reinstall the camera to update it.</source>
        <extracomment>Video device: the running camera service predates the /dev/video output; %1 is the /dev path</extracomment>
        <translation>%1 is ready, but the running camera service does not write to it. Reinstall the camera to update it.</translation>
    </message>
    <message id="videoDevice.disabled">
        <source>The camera service&apos;s /dev/video output is turned off in its environment. Apps that use PipeWire still get the Tovrelle camera.</source>
        <extracomment>Video device: the camera service&apos;s /dev/video output is turned off</extracomment>
        <translation>The camera service&apos;s /dev/video output is turned off in its environment. Apps that use PipeWire still get the Tovrelle camera.</translation>
    </message>
    <message id="videoDevice.busy">
        <source>Another program writes to %1, so the camera service cannot. Apps that use PipeWire still get the Tovrelle camera.</source>
        <extracomment>Video device: another program writes to Tovrelle&apos;s device; %1 is its /dev path</extracomment>
        <translation>Another program writes to %1, so the camera service cannot. Apps that use PipeWire still get the Tovrelle camera.</translation>
    </message>
    <message id="videoDevice.failed">
        <source>%1 refused the camera&apos;s picture format. Apps that use PipeWire still get the Tovrelle camera.</source>
        <extracomment>Video device: the device refused the camera&apos;s format or buffers; %1 is its /dev path</extracomment>
        <translation>%1 refused the camera&apos;s picture format. Apps that use PipeWire still get the Tovrelle camera.</translation>
    </message>
    <message id="videoDevice.ready">
        <source>Apps that only use /dev/video (Chromium, Zoom, Electron apps) find the camera at %1. None reads it now.</source>
        <extracomment>Video device: streaming, no app reads it; %1 is its /dev path</extracomment>
        <translation>Apps that only use /dev/video (Chromium, Zoom, Electron apps) find the camera at %1. None reads it now.</translation>
    </message>
    <message id="videoDevice.reading">
        <source>Apps that only use /dev/video (Chromium, Zoom, Electron apps) find the camera at %1. An app reads it now.</source>
        <extracomment>Video device: streaming and an app reads it; %1 is its /dev path</extracomment>
        <translation>Apps that only use /dev/video (Chromium, Zoom, Electron apps) find the camera at %1. An app reads it now.</translation>
    </message>
    <message id="videoDevice.loadFailed">
        <source>Loading v4l2loopback failed: %1</source>
        <extracomment>Video device: loading the kernel module failed; %1 is what modprobe or pkexec said</extracomment>
        <translation>Loading v4l2loopback failed: %1</translation>
    </message>
    <message id="settings.videoDevice.label">
        <source>Video device:</source>
        <extracomment>Label before the /dev/video device&apos;s state</extracomment>
        <translation>Video device:</translation>
    </message>
    <message id="settings.service.status.removed">
        <source>Removed: other apps do not see the Tovrelle camera until you install it again.</source>
        <extracomment>Camera service status after the user removed it</extracomment>
        <translation>Removed: other apps do not see the Tovrelle camera until you install it again.</translation>
    </message>
    <message id="settings.service.install">
        <source>Install Camera Service</source>
        <extracomment>Button that installs the camera service after the user removed it</extracomment>
        <translation>Install Camera Service</translation>
    </message>
    <message id="serviceStatus.removed">
        <source>The camera is not installed: other apps do not see Tovrelle until you install it.</source>
        <extracomment>Popover text while the user&apos;s removal of the camera service stands</extracomment>
        <translation>The camera is not installed: other apps do not see Tovrelle until you install it.</translation>
    </message>
    <message id="cameraFeed.noCamera">
        <source>No camera is connected</source>
        <extracomment>Camera mode with no physical camera attached; the virtual camera shows black</extracomment>
        <translation>No camera is connected</translation>
    </message>
    <message id="cameraFeed.chosenGone">
        <source>The chosen camera is not connected</source>
        <extracomment>The camera picked in the camera menu is unplugged; the virtual camera shows black</extracomment>
        <translation>The chosen camera is not connected</translation>
    </message>
    <message id="cameraFeed.stalled">
        <source>The camera stopped sending pictures</source>
        <extracomment>The passed-through camera stopped delivering frames; the virtual camera shows black</extracomment>
        <translation>The camera stopped sending pictures</translation>
    </message>
    <message id="cameraFeed.failed">
        <source>The camera cannot be opened</source>
        <extracomment>The passed-through camera cannot be opened; the virtual camera shows black</extracomment>
        <translation>The camera cannot be opened</translation>
    </message>
    <message id="cameraFeed.notFound">
        <source>No camera was found to show</source>
        <extracomment>The camera service finds no camera to pass through; the virtual camera shows black</extracomment>
        <translation>No camera was found to show</translation>
    </message>
    <message id="cameraFeed.othersSeeBlack">
        <source>Other apps see a black picture</source>
        <extracomment>Second line under a camera problem in the popover preview</extracomment>
        <translation>Other apps see a black picture</translation>
    </message>
    <message id="settings.imageDetail.animated">
        <source>%1 · animated</source>
        <extracomment>Images list: an animated picture; %1 is its format (GIF, PNG, WebP)</extracomment>
        <translation>%1 · animated</translation>
    </message>
    <message id="settings.imageDetail.size">
        <source>%1 · %2 × %3</source>
        <extracomment>Images list: a still picture; %1 is its format (PNG, JPEG), %2 its width and %3 its height in pixels</extracomment>
        <translation>%1 · %2 × %3</translation>
    </message>
    <message id="trayIcon.toolTip.notInstalled">
        <source>Camera not installed: other apps do not see it</source>
        <extracomment>Second line of the tray icon tool tip after the user removed the camera service</extracomment>
        <translation>Camera not installed: other apps do not see it</translation>
    </message>
    <message id="onboarding.startAtLogin.title">
        <source>Keep the camera working after you log in</source>
        <extracomment>Onboarding step 4 title: start the app at login</extracomment>
        <translation>Keep the camera working after you log in</translation>
    </message>
    <message id="onboarding.startAtLogin.detail">
        <source>Other apps see your choices only while Tovrelle runs; without it the camera asks them to start Tovrelle. Starting it at login keeps the camera working after you log in again.</source>
        <extracomment>Onboarding step 4 explanation</extracomment>
        <translation>Other apps see your choices only while Tovrelle runs; without it the camera asks them to start Tovrelle. Starting it at login keeps the camera working after you log in again.</translation>
    </message>
    <message id="onboarding.startAtLogin.action">
        <source>Start Tovrelle at login</source>
        <extracomment>Onboarding step 4 check box that starts the app at login</extracomment>
        <translation>Start Tovrelle at login</translation>
    </message>
</context>
</TS>
