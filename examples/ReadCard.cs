// Reads the identity card and the SIM card through Q48Reader.dll.
//
//   ReadCard [--photo FILE.jpg] [--write NUMBER CONTENT]
//
// .NET Framework:  csc /platform:x86 ReadCard.cs   (/platform:x64 with the 64-bit kit)
// .NET 6 or later: a console project holding this file, with
//                  <PlatformTarget>x86</PlatformTarget> (or x64) and the
//                  System.Text.Encoding.CodePages package.
// Run it beside Q48Reader.dll, with WltRS.dll there for the portrait. The
// process must have the DLL's bitness: "Any CPU" runs 64-bit on 64-bit Windows.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

static class ReadCard
{
    const int ReadCardBuffer = 52200;  // Q48_READ_CARD_BUFFER
    const int IccidBuffer = 60;        // Q48_ICCID_BUFFER
    const int FieldStride = 100;       // field i starts at i * 100; the portrait at 1000

    static readonly string[] Fields = {
        "name", "sex code", "ethnic group", "birth date", "address", "identity number",
        "issuing authority", "valid from", "valid to", "reserved",
    };

    // __stdcall on 32-bit Windows; 64-bit Windows has one convention.
    [DllImport("Q48Reader.dll", CallingConvention = CallingConvention.StdCall)]
    static extern short zelListReaderCard();

    // A byte array is pinned and passed as it is: the library writes into it.
    [DllImport("Q48Reader.dll", CallingConvention = CallingConvention.StdCall)]
    static extern short zelReadCard(byte[] buffer);

    [DllImport("Q48Reader.dll", CallingConvention = CallingConvention.StdCall)]
    static extern short zelReadICCID(byte[] buffer);

    [DllImport("Q48Reader.dll", CallingConvention = CallingConvention.StdCall)]
    static extern short zelReadCardType();

    // Texts go as bytes of the system's ANSI code page (936 on Chinese Windows).
    [DllImport("Q48Reader.dll", CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi)]
    static extern short zelWriteCard(string content, string number);

    // A text of the buffer: GBK bytes up to the first zero or `length` bytes.
    static string Text(Encoding gbk, byte[] buffer, int offset, int length)
    {
        int end = Array.IndexOf(buffer, (byte)0, offset, length);
        return gbk.GetString(buffer, offset, (end < 0 ? offset + length : end) - offset);
    }

    static int Main(string[] args)
    {
        string photo = null, number = null, content = null;
        for (int i = 0; i < args.Length; ++i)
        {
            if (args[i] == "--photo" && i + 1 < args.Length) photo = args[++i];
            else if (args[i] == "--write" && i + 2 < args.Length) { number = args[++i]; content = args[++i]; }
            else { Console.Error.WriteLine("usage: ReadCard [--photo FILE.jpg] [--write NUMBER CONTENT]"); return 2; }
        }
#if NETCOREAPP
        Encoding.RegisterProvider(CodePagesEncodingProvider.Instance);
#endif
        Encoding gbk = Encoding.GetEncoding(936);

        Console.WriteLine("zelListReaderCard: {0}", zelListReaderCard());

        byte[] card = new byte[ReadCardBuffer];  // new arrays are zero-filled, as the library needs
        short read = zelReadCard(card);
        Console.WriteLine("zelReadCard: {0}", read);
        if (read == 0)
        {
            for (int i = 0; i < Fields.Length; ++i)
                Console.WriteLine("  {0,-18} {1}", Fields[i], Text(gbk, card, i * FieldStride, FieldStride));
            string base64 = Text(gbk, card, Fields.Length * FieldStride, ReadCardBuffer - Fields.Length * FieldStride);
            byte[] jpeg = Convert.FromBase64String(base64);
            Console.WriteLine("  {0,-18} {1} bytes of JPEG", "portrait", jpeg.Length);
            if (photo != null) File.WriteAllBytes(photo, jpeg);
        }

        byte[] iccid = new byte[IccidBuffer];
        short result = zelReadICCID(iccid);
        Console.WriteLine("zelReadICCID: {0} {1}", result, result == 0 ? Text(gbk, iccid, 0, IccidBuffer) : "");
        Console.WriteLine("zelReadCardType: {0}", zelReadCardType());

        // Writing changes the SIM card: only when asked.
        if (number != null) Console.WriteLine("zelWriteCard: {0}", zelWriteCard(content, number));
        return read == 0 ? 0 : 1;
    }
}
