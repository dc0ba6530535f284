// Asks a running file server for one folder's listing and prints, one line
// per entry, sorted: the entry's name, and a tab and its comment when the
// server shows one.
//
// The server keeps the line's CR (it splits a list at LF only) and the
// comment's own leading blank (it splits name from comment at the first
// blank): one trailing CR and one leading blank are removed here. A comment
// without either is marked instead, so that it cannot compare equal.
//
//   node list_comments.js PORT URI           the listing, as above
//   node list_comments.js PORT URI --wait    exits 0 once the server answers
'use strict';
const [port, uri, mode] = process.argv.slice(2);
const url = `http://127.0.0.1:${port}/~/api/get_file_list?uri=${encodeURIComponent(uri)}`;

function shown(comment) {
  let text = comment;
  text = text.endsWith('\r') ? text.slice(0, -1) : '<no CR>' + text;
  text = text.startsWith(' ') ? text.slice(1) : '<no leading blank>' + text;
  // Other control bytes are shown by their code, as <1A>.
  return text.replace(/[\x00-\x1f]/g, c => `<${c.charCodeAt(0).toString(16).toUpperCase().padStart(2, '0')}>`);
}

async function main() {
  if (mode === '--wait') {
    for (let attempt = 0; attempt < 120; ++attempt) {
      try {
        const response = await fetch(url);
        if (response.ok) return;
      } catch (error) {
        // not listening yet
      }
      await new Promise(resolve => setTimeout(resolve, 250));
    }
    throw new Error(`no answer from ${url}`);
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${url}: HTTP ${response.status}`);
  const { list } = await response.json();
  const lines = list.map(entry => (entry.comment === undefined ? entry.n : `${entry.n}\t${shown(entry.comment)}`));
  process.stdout.write(lines.sort().map(line => line + '\n').join(''));
}

main().catch(error => {
  console.error(String(error));
  process.exit(1);
});
