// A client of TZ62Editor (the sync tool, TZ62Editorsync.exe) in C#: signs requests and encrypts files as
// docs/api.md describes, with HMACSHA256 and Aes (CBC, PKCS7) only. Builds
// with .NET Framework 4.6 or later, .NET (Core) and Mono:
//
//     mcs TzClient.cs && mono TzClient.exe        prints the worked example of docs/api.md
//     mono TzClient.exe HOST PORT KEY             asks a running tool for /api/ping
//     mono TzClient.exe HOST PORT KEY VERSION_PATH RELATIVE_PATH FILE
//                                                 pushes FILE's bytes there
//
// Copy the class into an editor; Push shows a whole file push.
using System;
using System.IO;
using System.Net;
using System.Security.Cryptography;
using System.Text;

public static class TzClient
{
    static readonly UTF8Encoding Utf8 = new UTF8Encoding(false);

    static byte[] Concat(params byte[][] parts)
    {
        var all = new MemoryStream();
        foreach (var part in parts) all.Write(part, 0, part.Length);
        return all.ToArray();
    }

    static string Hex(byte[] bytes)
    {
        var text = new StringBuilder(bytes.Length * 2);
        foreach (var b in bytes) text.Append(b.ToString("x2"));
        return text.ToString();
    }

    // SHA-256 of the key's UTF-8 bytes and a label. The key is used as text,
    // never hex-decoded.
    public static byte[] DerivedKey(string key, string label)
    {
        using (var sha = SHA256.Create())
            return sha.ComputeHash(Concat(Utf8.GetBytes(key), Encoding.ASCII.GetBytes(label)));
    }

    // fileBytes for a push: Base64(IV || AES-256-CBC(PKCS7) || first 16 bytes
    // of HMAC-SHA-256). `content` is the file's bytes exactly as they are to be
    // written (game data files are usually GBK with CRLF). Pass iv = null: a
    // fresh one is drawn for every file.
    public static string EncryptFile(byte[] content, string key, byte[] iv, out byte[] ciphertext, out byte[] tag)
    {
        if (iv == null)
        {
            iv = new byte[16];
            using (var random = RandomNumberGenerator.Create()) random.GetBytes(iv);
        }
        using (var aes = Aes.Create())
        {
            aes.Mode = CipherMode.CBC;
            aes.Padding = PaddingMode.PKCS7;
            aes.Key = DerivedKey(key, "Hq4mSyncEnc");
            aes.IV = iv;
            using (var encryptor = aes.CreateEncryptor())
                ciphertext = encryptor.TransformFinalBlock(content, 0, content.Length);
        }
        using (var mac = new HMACSHA256(DerivedKey(key, "Hq4mSyncMac")))
        {
            tag = new byte[16];
            Array.Copy(mac.ComputeHash(Concat(iv, ciphertext)), tag, 16);
        }
        return Convert.ToBase64String(Concat(iv, ciphertext, tag));
    }

    // A JSON text member value: quotes, backslashes and control characters escaped.
    public static string JsonText(string text)
    {
        var json = new StringBuilder("\"");
        foreach (var c in text)
        {
            if (c == '"' || c == '\\') json.Append('\\').Append(c);
            else if (c < 0x20) json.AppendFormat("\\u{0:x4}", (int)c);
            else json.Append(c);
        }
        return json.Append('"').ToString();
    }

    // x-sign: HMAC-SHA-256 in hex of timestamp, method, path, body and nonce run together.
    public static string Sign(string key, string timestamp, string method, string path, byte[] body, string nonce)
    {
        using (var mac = new HMACSHA256(Utf8.GetBytes(key)))
            return Hex(mac.ComputeHash(Concat(Utf8.GetBytes(timestamp + method + path), body, Utf8.GetBytes(nonce))));
    }

    // POSTs a signed request and returns the answer's JSON text. Use 127.0.0.1
    // rather than localhost: the tool listens on IPv4 only.
    public static string Send(string host, int port, string key, string path, byte[] body)
    {
        var timestamp = DateTimeOffset.UtcNow.ToUnixTimeSeconds().ToString();
        var nonceBytes = new byte[16];
        using (var random = RandomNumberGenerator.Create()) random.GetBytes(nonceBytes);
        var nonce = Hex(nonceBytes);
        var request = (HttpWebRequest)WebRequest.Create("http://" + host + ":" + port + path);
        request.Method = "POST";
        request.ContentType = "application/json";
        request.Timeout = 120000;  // a reload through the bridge takes up to about 40 s per item
        request.Headers["x-timestamp"] = timestamp;
        request.Headers["x-nonce"] = nonce;
        request.Headers["x-sign"] = Sign(key, timestamp, "POST", path, body, nonce);
        using (var stream = request.GetRequestStream()) stream.Write(body, 0, body.Length);
        WebResponse answer;
        try
        {
            answer = request.GetResponse();
        }
        catch (WebException refused) when (refused.Response != null)
        {
            answer = refused.Response;  // 401, 404, 400, 413, 503 carry a JSON body too
        }
        using (answer)
        using (var reader = new StreamReader(answer.GetResponseStream(), Utf8))
            return reader.ReadToEnd();
    }

    public static string Push(string host, int port, string key, string versionPath, string relativePath, byte[] content)
    {
        byte[] ciphertext, tag;
        var fileBytes = EncryptFile(content, key, null, out ciphertext, out tag);
        var body = Utf8.GetBytes("{\"versionPath\":" + JsonText(versionPath) + ",\"relativePath\":" +
                                 JsonText(relativePath) + ",\"fileBytes\":" + JsonText(fileBytes) + "}");
        return Send(host, port, key, "/api/file/sync", body);
    }

    // The values of docs/api.md's worked example, as "name = value" lines.
    static string WorkedExample()
    {
        string key = "0123456789abcdef0123456789abcdef", timestamp = "1765338000", nonce = "doc-0001";
        string method = "POST", path = "/api/file/sync";
        string versionPath = "D:\\MirServer", relativePath = "Mir200\\Envir\\QuestDiary\\a.txt";
        byte[] content = Utf8.GetBytes("\u7269\u54c1\u6570\u636e\u5e93 = 1\r\n");  // "物品数据库 = 1" and CRLF
        var iv = new byte[16];
        for (int i = 0; i < iv.Length; i++) iv[i] = (byte)i;
        byte[] ciphertext, tag;
        var fileBytes = EncryptFile(content, key, iv, out ciphertext, out tag);
        var body = "{\"versionPath\":" + JsonText(versionPath) + ",\"relativePath\":" + JsonText(relativePath) +
                   ",\"fileBytes\":" + JsonText(fileBytes) + "}";
        var values = new[] {
            new[] { "key", key }, new[] { "timestamp", timestamp }, new[] { "nonce", nonce },
            new[] { "method", method }, new[] { "path", path }, new[] { "versionPath", versionPath },
            new[] { "relativePath", relativePath }, new[] { "file content (hex)", Hex(content) },
            new[] { "iv (hex)", Hex(iv) }, new[] { "encryption key (hex)", Hex(DerivedKey(key, "Hq4mSyncEnc")) },
            new[] { "MAC key (hex)", Hex(DerivedKey(key, "Hq4mSyncMac")) },
            new[] { "ciphertext (hex)", Hex(ciphertext) }, new[] { "tag (hex)", Hex(tag) },
            new[] { "fileBytes", fileBytes }, new[] { "body", body },
            new[] { "x-sign", Sign(key, timestamp, method, path, Utf8.GetBytes(body), nonce) } };
        var text = new StringBuilder();
        foreach (var pair in values) text.Append(pair[0].PadRight(21)).Append("= ").Append(pair[1]).Append('\n');
        return text.ToString();
    }

    public static void Main(string[] args)
    {
        string text;
        if (args.Length == 3)
            text = Send(args[0], int.Parse(args[1]), args[2], "/api/ping", new byte[0]) + "\n";
        else if (args.Length == 6)
            text = Push(args[0], int.Parse(args[1]), args[2], args[3], args[4], File.ReadAllBytes(args[5])) + "\n";
        else
            text = WorkedExample();
        var output = Console.OpenStandardOutput();
        var bytes = Utf8.GetBytes(text);
        output.Write(bytes, 0, bytes.Length);
    }
}
