// Mirto Analytics, quick start: add this component to one GameObject of the game's first scene
// and fill in the application id.
//
// - It starts the reporting session as the scene loads. When the game asks for the player's
//   consent first, the library holds every report in memory until the player answers (nothing
//   is sent or written before), and remembers the answer across runs. The question shows while
//   the library waits for an answer (its own consent state), so it is asked until the library
//   has one stored, and again after the player's data was deleted.
// - The library's lines appear in the Console by themselves: a refused call as a warning (try
//   OnLevelReached(-1)), the start as "Mirto: init succeed ...". MirtoAnalytics.SetLogCallback
//   sends them to the game's own logger instead.
// - The last reports of a session are flushed when the game quits: stored on disk with the
//   outbox (keepReportsOnDisk), otherwise sent for at most half a second.
// - OnPlayerSignedIn, OnLevelReached, OnServerJoined and OnPurchase show the calls a game makes
//   from its own code; OnConsentChanged and OnDeleteMyDataRequested those of a privacy menu.

using UnityEngine;

namespace Mirto.Samples
{
    /// <summary>Starts Mirto Analytics for the game, asking for consent first if wanted.</summary>
    public class MirtoQuickStart : MonoBehaviour
    {
        [Tooltip("The game's application id at the collection server.")]
        public string applicationId = "my-game";

        [Tooltip("The store or channel this build is distributed through (may be empty).")]
        public string channel = "store";

        [Tooltip("The collection server's host name; empty keeps the one built into mirto.dll.")]
        public string collectionHost = "";

        [Tooltip("Ask the player before anything is reported.")]
        public bool askForConsent = true;

        [Tooltip("Keep unsent reports on disk across quits, crashes and outages.")]
        public bool keepReportsOnDisk = true;

        private bool asking;

        private void Awake()
        {
            if (!string.IsNullOrEmpty(collectionHost))
            {
                MirtoAnalytics.SetHost(collectionHost);
            }
            if (keepReportsOnDisk)
            {
                MirtoAnalytics.SetOutbox(true);  // before OnStart; stores the last reports at quit
            }
            else
            {
                MirtoAnalytics.FlushOnQuit(500);
            }
            // Before OnStart. The library keeps the player's answer: at later runs it applies it
            // by itself, and until an answer exists every report waits in memory.
            MirtoAnalytics.SetConsentRequired(askForConsent);
            MirtoAnalytics.OnStart(applicationId, channel, Application.version);
        }

        private void Update()
        {
            // Waiting for an answer, with calls held: the library found none stored (it looks as
            // the session starts, so a stored answer never shows the question, even briefly).
            var stats = MirtoAnalytics.GetDeliveryStats();
            asking = stats.ConsentState == 1 && stats.OperationsHeld > 0;  // OnGUI asks
        }

        private void OnConsentAnswered(bool granted)
        {
            asking = false;
            // Yes: what was held is sent, and everything after. No: what was held is dropped,
            // and nothing is reported from now on.
            MirtoAnalytics.SetConsent(granted);
        }

        /// <summary>Call from the game's privacy settings: the player changed their mind.</summary>
        public void OnConsentChanged(bool granted)
        {
            MirtoAnalytics.SetConsent(granted);
        }

        /// <summary>Call when the player asks for their data to be removed from this machine.</summary>
        public void OnDeleteMyDataRequested()
        {
            // Drops what waits and removes the library's files, the stored answer with them; at
            // most a second on this thread. A player who had said no still has: the refusal is
            // stored again, so nothing is reported later. Otherwise the question comes back.
            var refused = MirtoAnalytics.GetDeliveryStats().ConsentState == 3;
            MirtoAnalytics.DeleteLocalData(1000);
            if (refused)
            {
                MirtoAnalytics.SetConsent(false);
            }
        }

        private void OnGUI()
        {
            if (!asking)
            {
                return;
            }
            GUI.Box(new Rect(20, 20, 460, 110), "");
            GUI.Label(new Rect(35, 30, 430, 50),
                      "May this game send anonymous usage data (levels reached, purchases) to " +
                      "help improve it?");
            if (GUI.Button(new Rect(35, 85, 200, 30), "Yes"))
            {
                OnConsentAnswered(true);
            }
            if (GUI.Button(new Rect(265, 85, 200, 30), "No"))
            {
                OnConsentAnswered(false);
            }
        }

        /// <summary>Call when a player has signed in.</summary>
        public void OnPlayerSignedIn(string playerId, string playerName)
        {
            MirtoAnalytics.SetUser(playerId, playerName);
        }

        /// <summary>Call when the player reaches a level.</summary>
        public void OnLevelReached(int level)
        {
            MirtoAnalytics.SetLevel(level);
        }

        /// <summary>Call when the player joins a game server.</summary>
        public void OnServerJoined(string server)
        {
            MirtoAnalytics.SetServer(server);
        }

        /// <summary>Call when a purchase has gone through.</summary>
        public void OnPurchase(string orderId, string product, int price, string currency, int gems)
        {
            MirtoAnalytics.OnCharge(orderId, product, price, currency, gems, "store");
        }
    }
}
