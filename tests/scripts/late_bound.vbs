' Late-bound calls as a script makes them, through the platform's own VBScript host against the
' simulated clock's bench: VBScript passes its variables by reference as variants, and strMsg and
' the collections must come back through them. A script error ends the host silently, so success
' is the closing line alone.
Option Explicit

Dim failures
failures = 0

Sub Check(what, ok)
    If Not ok Then
        WScript.Echo "FAILED: " & what
        failures = failures + 1
    End If
End Sub

Dim m, col, cdata, d, msg, ok
Set m = CreateObject("Quorin.clsMachine")

' Discovery hands back a new collection in col: devices on ports 1 and 3.
Set col = Nothing
msg = "caller's text"
ok = m.funcRegister(col, True, 1, 4, "", "", 1, 5, msg)
Check "discovery answers True", ok
Check "discovery hands back its collection", TypeName(col) = "Object"
Check "discovery found two devices", col.Count = 2
Check "discovery leaves strMsg", msg = "caller's text"

' Download clears strMsg and appends to the script's collection.
Set cdata = CreateObject("VBA.Collection")
ok = m.DownloadCarddata(True, "", 1, 1, cdata, msg)
Check "download answers True", ok
Check "download hands back strMsg as text", TypeName(msg) = "String" And msg = ""
Check "download appended the records", cdata.Count > 0

' A dictionary is no collection: the download fails with its message and leaves it alone.
Set d = CreateObject("Scripting.Dictionary")
ok = m.DownloadCarddata(True, "", 1, 1, d, msg)
Check "download into a dictionary answers False", Not ok
Check "download into a dictionary reports it", InStr(msg, "1") = 4 And Len(msg) = 18
Check "the dictionary is untouched", d.Count = 0

' A collection is no recordset: the backup answers False and leaves it alone.
Dim before
before = cdata.Count
ok = m.funcBackFingure(True, "", 1, 1, "7", cdata, msg)
Check "backup into a collection answers False", Not ok
Check "the collection is untouched", cdata.Count = before

' An unassigned variable is no object: the platform's type mismatch, before anything runs.
Dim unassigned
On Error Resume Next
ok = m.funcRegister(unassigned, True, 1, 4, "", "", 1, 5, msg)
Check "an unassigned col is a type mismatch", Err.Number = 13
On Error GoTo 0

If failures = 0 Then WScript.Echo "late-bound calls: all passed"
