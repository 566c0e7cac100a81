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
-- Uninstall takes the service's logs and their folders with it: the files by
-- name (q48-service.log and the four older ones that tools/service/main.cpp
-- keeps), as every Windows Installer reads a name, wildcards not; then the
-- folders, emptied by then (the rows are taken in the order of their keys).
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('LogFile0', 'Logs', 'q48-service.log', 'LOGDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('LogFile1', 'Logs', 'q48-service.1.log', 'LOGDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('LogFile2', 'Logs', 'q48-service.2.log', 'LOGDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('LogFile3', 'Logs', 'q48-service.3.log', 'LOGDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('LogFile4', 'Logs', 'q48-service.4.log', 'LOGDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `DirProperty`, `InstallMode`) VALUES ('LogFolder', 'Logs', 'LOGDIR', 2)
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `DirProperty`, `InstallMode`) VALUES ('LogParentFolder', 'Logs', 'DATADIR', 2)
