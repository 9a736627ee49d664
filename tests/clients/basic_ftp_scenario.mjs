// One session of the npm package basic-ftp against a running zelmftp: ensureDir, upload,
// list (MLSD, which basic-ftp prefers when FEAT offers MLST), rename, download, lastMod
// (MDTM), remove. Prints what it saw as JSON; any failure ends it with status 1.
// Usage: node basic_ftp_scenario.mjs PORT WORK_FOLDER FILE_NAME
import {Client} from 'basic-ftp';

const [port, work, name] = process.argv.slice(2);
const client = new Client(20000);
try {
  await client.access({host: '127.0.0.1', port: Number(port), user: 'bob', password: 'secret'});
  await client.ensureDir('neu ordner/tief');
  await client.uploadFrom(`${work}/${name}`, name);
  const listed = await client.list();
  await client.cd('/');
  await client.rename(`neu ordner/tief/${name}`, 'neu ordner/umbenannt.txt');
  await client.downloadTo(`${work}/back.txt`, 'neu ordner/umbenannt.txt');
  const modified = await client.lastMod('neu ordner/umbenannt.txt');
  await client.remove('neu ordner/umbenannt.txt');
  const after = await client.list('neu ordner');
  process.stdout.write(JSON.stringify({
    listed: listed.map((f) => ({name: f.name, size: f.size, modifiedAt: f.modifiedAt ?? null})),
    lastMod: modified.toISOString(),
    after: after.map((f) => f.name),
    mlsd: client.availableListCommands?.[0] ?? null,
  }) + '\n');
} catch (error) {
  process.stderr.write(`basic-ftp: ${error.message}\n`);
  process.exitCode = 1;
} finally {
  client.close();
}
