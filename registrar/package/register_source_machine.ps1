# Installs VelmoraSource.dll machine-wide: copies it into C:\Program Files\Velmora,
# registers that copy under HKLM and registers the "Nivra" camera, by running
# VelmoraRegistrar.exe from this script's own folder. Needs an elevated PowerShell:
#   powershell -ExecutionPolicy Bypass -File .\register_source_machine.ps1 [-AllUsers]
[CmdletBinding()]
param(
    # Register the camera for all users (install-all-users) instead of the current user.
    [switch]$AllUsers
)

$principal = New-Object Security.Principal.WindowsPrincipal([Security.Principal.WindowsIdentity]::GetCurrent())
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
    Write-Host '관리자 권한이 아닙니다. 관리자 PowerShell에서 다시 실행하세요.' -ForegroundColor Red
    Write-Host 'Not elevated. Run this script again from an administrator PowerShell.' -ForegroundColor Red
    exit 1
}

$registrar = Join-Path $PSScriptRoot 'VelmoraRegistrar.exe'
$library = Join-Path $PSScriptRoot 'VelmoraSource.dll'
foreach ($file in @($registrar, $library)) {
    if (-not (Test-Path -LiteralPath $file -PathType Leaf)) {
        Write-Host "파일이 없습니다 / File not found: $file" -ForegroundColor Red
        exit 1
    }
}

$verb = if ($AllUsers) { 'install-all-users' } else { 'install-system' }
& $registrar $verb
exit $LASTEXITCODE
