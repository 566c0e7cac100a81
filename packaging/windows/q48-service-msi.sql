-- What wixl's subset of WiX cannot say, applied to the q48-service MSI after
-- wixl by msibuild, one statement a line (cmake/ServiceMsiSteps.cmake).
--
-- Each setting's registry value is written only when its property is set.
UPDATE `Component` SET `Condition` = 'ALLOWORIGIN' WHERE `Component` = 'SettingAllowOrigin'
UPDATE `Component` SET `Condition` = 'LISTEN' WHERE `Component` = 'SettingListen'
UPDATE `Component` SET `Condition` = 'PORT' WHERE `Component` = 'SettingPort'
UPDATE `Component` SET `Condition` = 'WATCHINTERVAL' WHERE `Component` = 'SettingWatchInterval'
-- The settings pass into the elevated part of a managed install (wixl lists
-- its upgrade properties only).
UPDATE `Property` SET `Value` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;ALLOWORIGIN;LISTEN;PORT;WATCHINTERVAL' WHERE `Property` = 'SecureCustomProperties'
-- Uninstall takes the service's logs, its portrait folder and their parent
-- with it: the files by name (q48-service.log and the four older ones that
-- tools/service/main.cpp keeps; the portrait files, which the service
-- removes after each read unless it was cut off in one), as every Windows
-- Installer reads a name, wildcards not; then the folders, emptied by then
-- (the rows are taken in the order of their keys: Log, Portrait, Top). The
-- service makes the portrait folder itself, with its own access list.
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('LogFile0', 'Logs', 'q48-service.log', 'LOGDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('LogFile1', 'Logs', 'q48-service.1.log', 'LOGDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('LogFile2', 'Logs', 'q48-service.2.log', 'LOGDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('LogFile3', 'Logs', 'q48-service.3.log', 'LOGDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('LogFile4', 'Logs', 'q48-service.4.log', 'LOGDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `DirProperty`, `InstallMode`) VALUES ('LogFolder', 'Logs', 'LOGDIR', 2)
INSERT INTO `Directory` (`Directory`, `Directory_Parent`, `DefaultDir`) VALUES ('LOGDIR', 'DATADIR', 'logs')
INSERT INTO `Directory` (`Directory`, `Directory_Parent`, `DefaultDir`) VALUES ('PORTRAITDIR', 'DATADIR', 'portraits')
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('PortraitFile1', 'Logs', 'pic.wlt', 'PORTRAITDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('PortraitFile2', 'Logs', 'pic.bmp', 'PORTRAITDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('PortraitFile3', 'Logs', 'pic.jpg', 'PORTRAITDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `DirProperty`, `InstallMode`) VALUES ('PortraitFolder', 'Logs', 'PORTRAITDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `DirProperty`, `InstallMode`) VALUES ('TopFolder', 'Logs', 'DATADIR', 2)
-- The service's configuration, applied by Windows Installer 5.0's
-- MsiConfigureServices between InstallServices and StartServices (wixl knows
-- neither table nor the action). Event 5: on install and on reinstall.
-- Restart on failure: 5 s after a first failure, 30 s after a second, a
-- minute after each further one; counted afresh after a day (86400 s).
-- Actions: 1 is SC_ACTION_RESTART; items separated by [~].
CREATE TABLE `MsiServiceConfigFailureActions` (`MsiServiceConfigFailureActions` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL, `Event` SHORT NOT NULL, `ResetPeriod` LONG, `RebootMessage` CHAR(255) LOCALIZABLE, `Command` CHAR(255), `Actions` CHAR(255), `DelayActions` CHAR(255), `Component_` CHAR(72) NOT NULL PRIMARY KEY `MsiServiceConfigFailureActions`)
INSERT INTO `MsiServiceConfigFailureActions` (`MsiServiceConfigFailureActions`, `Name`, `Event`, `ResetPeriod`, `Actions`, `DelayActions`, `Component_`) VALUES ('RestartOnFailure', 'q48-service', 5, 86400, '1[~]1[~]1', '5000[~]30000[~]60000', 'Service')
-- ConfigType 4 (SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) 1: the actions also
-- follow a stop with an error, not only a crash. 5 (SERVICE_CONFIG_SERVICE_SID_INFO)
-- 1, unrestricted: the token carries NT SERVICE\q48-service, to which the
-- service's folders are given. 7 (SERVICE_CONFIG_PRESHUTDOWN_INFO) in ms:
-- at shutdown the manager waits this long for a card operation to end (a
-- SIM write, two steps of 15 s, and the stop's grace: kLongestStop in
-- tools/common/service_platform.h, 35 s), with room to spare.
CREATE TABLE `MsiServiceConfig` (`MsiServiceConfig` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL, `Event` SHORT NOT NULL, `ConfigType` LONG NOT NULL, `Argument` CHAR(255), `Component_` CHAR(72) NOT NULL PRIMARY KEY `MsiServiceConfig`)
INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`) VALUES ('FailureActionsFlag', 'q48-service', 5, 4, '1', 'Service')
INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`) VALUES ('ServiceSid', 'q48-service', 5, 5, '1', 'Service')
INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`) VALUES ('Preshutdown', 'q48-service', 5, 7, '40000', 'Service')
INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('MsiConfigureServices', 5850)
-- %ProgramData%\Q48Reader gets an access list of its own, not the one
-- %ProgramData% passes on (which lets Users create folders, and so take the
-- names logs and portraits before the service). Full control for SYSTEM and
-- the Administrators, inherited; for the service's own SID, on this folder
-- only, list, traverse and create subfolders (0x1200ad: FILE_GENERIC_READ,
-- FILE_GENERIC_EXECUTE, FILE_ADD_SUBDIRECTORY); Users nothing. The SID of
-- NT SERVICE\q48-service is S-1-5-80 and the SHA-1 of "Q48-SERVICE" in
-- UTF-16LE, as five little-endian numbers (tests/msi/check_msi.py checks it).
CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, `LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDL` CHAR(0) NOT NULL, `Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)
INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDL`) VALUES ('DataFolder', 'DATADIR', 'CreateFolder', 'D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200ad;;;S-1-5-80-2704839098-3794765952-2834920505-3344045825-859706414)')
