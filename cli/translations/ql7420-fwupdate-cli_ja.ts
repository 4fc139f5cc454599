<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
<context>
    <name>CliApplication</name>
    <message>
        <source>%1: %2
See: %1 --help</source>
        <translation>%1: %2
使い方: %1 --help</translation>
    </message>
    <message>
        <source>No QL-7420 is attached.</source>
        <translation>QL-7420 が接続されていません。</translation>
    </message>
    <message>
        <source>Not updating: there is no terminal to confirm on. Add --yes to update without asking.</source>
        <translation>更新しません: 確認を求める端末がありません。確認なしで更新するには --yes を付けてください。</translation>
    </message>
    <message>
        <source>Firmware check failed: %1</source>
        <translation>FWの確認に失敗しました: %1</translation>
    </message>
    <message>
        <source>%1 devices are attached: %2
Name the ones to update with --port, or update them all with --all.</source>
        <translation>%1 台のデバイスが接続されています: %2
更新するデバイスを --port で指定するか、--all ですべて更新してください。</translation>
    </message>
    <message>
        <source>Updating the firmware may reset the device&apos;s data.
Synchronise the data with the app before you update the firmware.</source>
        <translation>FW更新時、データがリセットされる場合がございます。
FWを更新する前にアプリでデータの同期を行ってください。</translation>
    </message>
    <message>
        <source>Update the firmware on %1 now? [y/N] </source>
        <translation>%1 のFWを今すぐ更新しますか? [y/N] </translation>
    </message>
    <message>
        <source>Not confirmed; nothing was sent to any device.</source>
        <translation>確認されなかったため、どのデバイスにも何も送信していません。</translation>
    </message>
    <message>
        <source>Interrupted; no firmware was sent, and the ports are closed.</source>
        <translation>中断しました。FWは送信しておらず、ポートは閉じました。</translation>
    </message>
    <message>
        <source>%1 of %2 devices updated</source>
        <translation>%2 台中 %1 台のデバイスを更新しました</translation>
    </message>
    <message>
        <source>%1: updated in %2 s</source>
        <translation>%1: 更新しました (%2 秒)</translation>
    </message>
    <message>
        <source>%1: firmware %2</source>
        <translation>%1: 現在のFWバージョン %2</translation>
    </message>
    <message>
        <source>%1: failed: %2</source>
        <translation>%1: 失敗しました: %2</translation>
    </message>
    <message>
        <source>%1 (no USB serial number)</source>
        <translation>%1 (USBシリアル番号なし)</translation>
    </message>
    <message>
        <source>%1 (serial %2)</source>
        <translation>%1 (シリアル番号 %2)</translation>
    </message>
    <message>
        <source>%1, USB %2:%3</source>
        <translation>%1、USB %2:%3</translation>
    </message>
    <message>
        <source>%1 at %2 %</source>
        <translation>%1 (%2 %)</translation>
    </message>
    <message>
        <source>The console was closed during the firmware transfer (%1). The system ends this program within seconds, most likely before the transfer ends: update those devices again.</source>
        <translation>FWの転送中にコンソールが閉じられました (%1)。数秒のうちにこのプログラムは終了させられ、転送はおそらく終わりません。これらのデバイスをもう一度更新してください。</translation>
    </message>
    <message>
        <source>Not stopping: a firmware transfer is running, and stopping it would leave the device without firmware. Please wait until it ends.</source>
        <translation>中断しません: FWの転送中に止めるとデバイスのFWが失われます。転送が終わるまでお待ちください。</translation>
    </message>
    <message>
        <source>A firmware transfer is running. Stopping it would leave the device without firmware.</source>
        <translation>FWの転送中です。止めるとデバイスのFWが失われます。</translation>
    </message>
    <message>
        <source>Note: nothing keeps the computer from sleeping or shutting down during the transfer: %1</source>
        <translation>注意: 転送中のコンピューターのスリープやシャットダウンを防げません: %1</translation>
    </message>
    <message>
        <source>Bundle not saved: %1</source>
        <translation>バンドルを保存しませんでした: %1</translation>
    </message>
    <message>
        <source>Bundle saved in %1: %2, MD5 %3, fetched %4</source>
        <translation>%1 にバンドルを保存しました: %2、MD5 %3、取得日時 %4</translation>
    </message>
    <message>
        <source>Latest firmware: %1, MD5 %2 verified, from %3</source>
        <translation>最新のFWバージョン : %1 (MD5 %2 確認済み、%3 から)</translation>
    </message>
    <message>
        <source>Firmware in the bundle: %1, MD5 %2 verified, from %3 (fetched %4 from %5, as its bundle.json says, which nothing verifies)</source>
        <translation>バンドルのFWバージョン : %1 (MD5 %2 確認済み、%3 から。bundle.json によれば取得日時 %4、取得元 %5。この記載は未確認です)</translation>
    </message>
    <message>
        <source>Signed by the maker: key %1</source>
        <translation>メーカーの署名を確認しました: 鍵 %1</translation>
    </message>
    <message>
        <source>Older than version %1, which this PC has already verified: taken, as --allow-older asks</source>
        <translation>このPCで確認済みのバージョン %1 より古いFWですが、--allow-older の指定により使います</translation>
    </message>
    <message>
        <source>To take it all the same, run again with --allow-older.</source>
        <translation>それでも使うには、--allow-older を付けて実行し直してください。</translation>
    </message>
    <message>
        <source>Takes only firmware signed with the maker&apos;s key %1</source>
        <translation>メーカーの鍵 %1 で署名されたFWのみを受け付けます</translation>
    </message>
    <message>
        <source> or </source>
        <translation> または </translation>
    </message>
    <message>
        <source>at an unknown time</source>
        <translation>不明</translation>
    </message>
    <message>
        <source>an unknown server</source>
        <translation>不明</translation>
    </message>
    <message>
        <source>Waiting for devices: each one plugged in is updated, until %1 are updated. Ctrl-C ends the watch.</source>
        <translation>デバイスを待っています: 接続されたデバイスを順に更新し、%1 台を更新したら終了します。Ctrl-C で監視を終了します。</translation>
    </message>
    <message>
        <source>Waiting for devices: each one plugged in is updated. Ctrl-C ends the watch.</source>
        <translation>デバイスを待っています: 接続されたデバイスを順に更新します。Ctrl-C で監視を終了します。</translation>
    </message>
    <message>
        <source>not updated: the watch was interrupted before its transfer</source>
        <translation>更新していません: 転送の前に監視が中断されました</translation>
    </message>
    <message>
        <source>not updated: %1 devices were updated, as --count asked</source>
        <translation>更新していません: --count のとおり %1 台を更新しました</translation>
    </message>
    <message>
        <source>The watch ended. Each device&apos;s last result:</source>
        <translation>監視を終了しました。各デバイスの最後の結果:</translation>
    </message>
    <message>
        <source>Devices by their last result: updated %1, failed %2, left as they were %3</source>
        <translation>最後の結果ごとの台数: 更新 %1 台、失敗 %2 台、そのまま %3 台</translation>
    </message>
    <message>
        <source>%1: plugged in</source>
        <translation>%1: 接続されました</translation>
    </message>
    <message>
        <source>%1: unplugged</source>
        <translation>%1: 取り外されました</translation>
    </message>
    <message>
        <source>already updated in this run</source>
        <translation>この監視ですでに更新済みです</translation>
    </message>
    <message>
        <source>%1: skipped: %2</source>
        <translation>%1: スキップしました: %2</translation>
    </message>
    <message>
        <source>Attempts so far: updated %1, failed %2, skipped %3; in progress %4, waiting %5</source>
        <translation>これまでの試行: 更新 %1、失敗 %2、スキップ %3。処理中 %4、待機 %5</translation>
    </message>
    <message>
        <source>Not stopping yet: a firmware transfer is running, and stopping it would leave the device without firmware. The watch ends once the transfers have ended, and starts no other device.</source>
        <translation>まだ中断しません: FWの転送中に止めるとデバイスのFWが失われます。転送が終わると監視を終了し、ほかのデバイスは開始しません。</translation>
    </message>
    <message>
        <source>not updated: the watch was ending before its transfer</source>
        <translation>更新していません: 転送の前に監視の終了が指示されました</translation>
    </message>
</context>
<context>
    <name>CommandLine</name>
    <message>
        <source>Print one JSON object per line on stdout, for scripts.</source>
        <translation>スクリプト向けに、標準出力へ1行に1つのJSONオブジェクトを出力します。</translation>
    </message>
    <message>
        <source>list: switch each device to PC mode, as the window does, and read its firmware version.</source>
        <translation>list: 各デバイスをウィンドウ版と同じくPCモードに切り替え、FWバージョンを読み取ります。</translation>
    </message>
    <message>
        <source>update: the device on this serial port (any port name, also one without the USB identifiers); may be repeated.</source>
        <translation>update: このシリアルポートのデバイス (USB識別子のないポート名も可)。複数指定できます。</translation>
    </message>
    <message>
        <source>update: every attached device.</source>
        <translation>update: 接続されているすべてのデバイス。</translation>
    </message>
    <message>
        <source>update: do not ask for confirmation.</source>
        <translation>update: 確認を求めません。</translation>
    </message>
    <message>
        <source>check, update, fetch: take signed firmware older than a version this PC has verified before.</source>
        <translation>check、update、fetch: このPCで以前に確認したバージョンより古い署名付きFWでも使います。</translation>
    </message>
    <message>
        <source>Show this help.</source>
        <translation>このヘルプを表示します。</translation>
    </message>
    <message>
        <source>Show the program&apos;s version.</source>
        <translation>プログラムのバージョンを表示します。</translation>
    </message>
    <message>
        <source>unexpected argument: %1</source>
        <translation>不要な引数: %1</translation>
    </message>
    <message>
        <source>unknown command: %1</source>
        <translation>不明なコマンド: %1</translation>
    </message>
    <message>
        <source>--versions goes with list</source>
        <translation>--versions は list と共に使います</translation>
    </message>
    <message>
        <source>--port, --all and --yes go with update</source>
        <translation>--port、--all、--yes は update と共に使います</translation>
    </message>
    <message>
        <source>--port and --all exclude each other</source>
        <translation>--port と --all は同時に指定できません</translation>
    </message>
    <message>
        <source>--port needs a port name</source>
        <translation>--port にはポート名が必要です</translation>
    </message>
    <message>
        <source>check, update: the firmware of the bundle in this folder, saved before with fetch, instead of the firmware server&apos;s.</source>
        <translation>check、update: FWサーバーの代わりに、fetch で保存したこのフォルダーのバンドルのFWを使います。</translation>
    </message>
    <message>
        <source>Updates the firmware of QL-7420 devices (USB 0451:16aa) from the firmware server.

Commands:
  check      check the firmware server: latest version, digest verified
  list       list the attached devices
  update     check the server, then update the devices, in parallel; with
             --watch, each device as it is plugged in
  fetch DIR  check the server, then save its firmware in DIR as a bundle, for
             check and update --from DIR on a PC without the internet</source>
        <translation>QL-7420 デバイス (USB 0451:16aa) のFWをFWサーバーから更新します。

コマンド:
  check      FWサーバーの確認: 最新バージョンとダイジェストの検証
  list       接続されているデバイスの一覧
  update     サーバーを確認してから、デバイスを並行して更新
             (--watch では接続されたデバイスを順に更新)
  fetch DIR  サーバーを確認してから、そのFWをバンドルとして DIR に保存
             (インターネットのないPCで check と update --from DIR に使用)</translation>
    </message>
    <message>
        <source>check, list, update or fetch</source>
        <translation>check、list、update または fetch</translation>
    </message>
    <message>
        <source>fetch: the folder to save the bundle in</source>
        <translation>fetch: バンドルを保存するフォルダー</translation>
    </message>
    <message>
        <source>no command given: check, list, update or fetch</source>
        <translation>コマンドがありません: check、list、update または fetch</translation>
    </message>
    <message>
        <source>fetch needs the folder to save the bundle in: fetch DIR</source>
        <translation>fetch にはバンドルを保存するフォルダーが必要です: fetch DIR</translation>
    </message>
    <message>
        <source>--from goes with check and update</source>
        <translation>--from は check または update と共に使います</translation>
    </message>
    <message>
        <source>--allow-older goes with check, update and fetch</source>
        <translation>--allow-older は check、update または fetch と共に使います</translation>
    </message>
    <message>
        <source>--from needs the folder of a bundle</source>
        <translation>--from にはバンドルのフォルダーが必要です</translation>
    </message>
    <message>
        <source>
Exit codes:
  0    every device updated (or the check or list succeeded)
  1    the firmware check failed (of the server or of a bundle), or fetch
       could not save the bundle
  2    usage error, or the update was not confirmed
  3    no device attached
  4    at least one device failed (with --watch: failed when last tried)
  130  interrupted before any transfer began
</source>
        <translation>
終了コード:
  0    すべてのデバイスを更新しました (または確認・一覧が成功しました)
  1    FWの確認 (サーバーまたはバンドル) に失敗したか、fetch でバンドルを
       保存できませんでした
  2    使い方の誤り、または更新が確認されませんでした
  3    デバイスが接続されていません
  4    失敗したデバイスがあります (--watch では最後の試行で失敗したもの)
  130  転送の開始前に中断されました
</translation>
    </message>
    <message>
        <source>update: wait for devices and update each one plugged in, until interrupted or --count are updated; one already updated is not updated again.</source>
        <translation>update: デバイスを待ち、接続されたものを順に更新します。中断するか --count 台を更新するまで続けます。更新済みのデバイスは再度更新しません。</translation>
    </message>
    <message>
        <source>update --watch: end once this many devices are updated.</source>
        <translation>update --watch: この台数を更新したら終了します。</translation>
    </message>
    <message>
        <source>--watch goes with update</source>
        <translation>--watch は update と共に使います</translation>
    </message>
    <message>
        <source>--watch takes every device plugged in; it excludes --port and --all</source>
        <translation>--watch は接続されたすべてのデバイスを対象とするため、--port や --all とは同時に指定できません</translation>
    </message>
    <message>
        <source>--count goes with update --watch</source>
        <translation>--count は update --watch と共に使います</translation>
    </message>
    <message>
        <source>--count needs a number of devices, 1 or more</source>
        <translation>--count には 1 以上の台数が必要です</translation>
    </message>
</context>
<context>
    <name>DeviceUpdate</name>
    <message>
        <source>device changed during the handshake</source>
        <translation>ハンドシェイク中にデバイスが入れ替わりました</translation>
    </message>
</context>
<context>
    <name>ProgressBoard</name>
    <message>
        <source>%1: %2 %</source>
        <translation>%1: %2 %</translation>
    </message>
    <message>
        <source>waiting</source>
        <translation>待機中</translation>
    </message>
    <message>
        <source>switching to PC mode</source>
        <translation>PCモードに切替中</translation>
    </message>
    <message>
        <source>updating</source>
        <translation>更新中</translation>
    </message>
    <message>
        <source>updated</source>
        <translation>更新完了</translation>
    </message>
    <message>
        <source>failed</source>
        <translation>失敗</translation>
    </message>
    <message>
        <source>skipped: %1</source>
        <translation>スキップ: %1</translation>
    </message>
</context>
</TS>
